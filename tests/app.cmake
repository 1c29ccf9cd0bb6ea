portvane_test(hot_key_config_test
  SOURCES hot_key_config_test.cpp
  LIBS portvane_app portvane_test_support)
portvane_test(app_test
  SOURCES app_test.cpp
  LIBS portvane_app portvane_test_support)
