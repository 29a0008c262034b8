// Built only to be linked against and then not found at run time.
void korvane_absent_test_symbol(void) {}
