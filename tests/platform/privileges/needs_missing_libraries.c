// An executable whose libraries are not installed anywhere the loader looks: the launcher's
// preflight must stop it.
void korvane_absent_test_symbol(void);
void korvane_tray_test_symbol(void);

int main(void) {
  korvane_absent_test_symbol();
  korvane_tray_test_symbol();
  return 0;
}
