# The event and window framework over real Qt widgets (offscreen).
find_package(Qt6 REQUIRED COMPONENTS Test)
portvane_test(framework_event_test
  SOURCES framework_event_test.cpp
  LIBS portvane_framework)
portvane_test(framework_application_test
  SOURCES framework_application_test.cpp
  LIBS portvane_framework)
portvane_test(framework_window_test
  SOURCES framework_window_test.cpp
  LIBS portvane_framework Qt6::Test)
