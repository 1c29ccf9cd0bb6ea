# The settings dialog on real widgets (offscreen) with simulated switches.
find_package(Qt6 REQUIRED COMPONENTS Test)
portvane_test(settings_test
  SOURCES settings_dialog_test.cpp settings_save_test.cpp
  LIBS portvane_app portvane_test_support Qt6::Test)
