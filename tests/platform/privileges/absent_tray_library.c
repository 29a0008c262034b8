// Built only to be linked against and then not found at run time (named like the tray library).
void korvane_tray_test_symbol(void) {}
