# The real program under Xvfb with a tray host: a hot key reaches the simulated
# switch, the tray icon follows it, and the settings dialog opened from the
# tray menu sends a changed option. Skipped (77) without Xvfb, trayer or xdotool.
add_test(NAME e2e_tray_hotkey
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/e2e/run-e2e.sh $<TARGET_FILE:portvane-demo> ${CMAKE_SOURCE_DIR})
set_tests_properties(e2e_tray_hotkey PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
