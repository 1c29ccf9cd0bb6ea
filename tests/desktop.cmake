# Desktop services: key codes, hot keys (simulated and on a real X server under
# Xvfb), the login session (hook and a stand-in logind on a private bus) and
# the front process.
portvane_test(desktop_key_codes_test
  SOURCES desktop_key_codes_test.cpp ../app/hot_key_config.cpp
  LIBS portvane_platform_ui)
portvane_test(desktop_hot_keys_test
  SOURCES desktop_hot_keys_test.cpp
  LIBS portvane_platform_desktop portvane_test_support)
portvane_test(desktop_x_grab_test
  SOURCES desktop_x_grab_test.cpp
  LIBS portvane_platform_desktop)
portvane_test(desktop_session_test
  SOURCES desktop_session_test.cpp
  LIBS portvane_platform_desktop portvane_test_support)
portvane_test(desktop_process_test
  SOURCES desktop_process_test.cpp
  LIBS portvane_platform_desktop portvane_test_support Qt6::Test)
