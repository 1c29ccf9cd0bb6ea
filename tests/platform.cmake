# The platform's core: CF types, bundle, clock, main queue, critical regions,
# the registry and the device interfaces.
portvane_test(platform_test
  SOURCES
    platform_core_foundation_test.cpp
    platform_clock_test.cpp
    platform_critical_region_test.cpp
    platform_registry_test.cpp
    platform_device_interfaces_test.cpp
  LIBS portvane_platform portvane_test_support)
