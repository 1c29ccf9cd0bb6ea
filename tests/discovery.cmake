portvane_test(discovery_test
  SOURCES discovery_test.cpp dock_icon_test.cpp
  LIBS portvane_discovery portvane_test_support)
