# Icon files, off-screen images and the Dock tile image.
portvane_test(icons_test SOURCES icons_test.cpp LIBS portvane_platform_icons PkgConfig::LIBICNS)
