/* A small library the image-tracking tests load and unload. */
int crash_test_image_value(void) { return 42; }
