# The device layer: the switch model and operations, and both transports.
portvane_test(switch_decode_test SOURCES switch_decode_test.cpp LIBS portvane_device portvane_test_support)
portvane_test(switch_operations_test SOURCES switch_operations_test.cpp LIBS portvane_device portvane_test_support)
portvane_test(hid_reports_test SOURCES hid_reports_test.cpp LIBS portvane_device portvane_test_support)
portvane_test(usb_transport_test SOURCES usb_transport_test.cpp LIBS portvane_device portvane_test_support)
