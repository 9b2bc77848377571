/* Absolute pointers in data (a table of addresses) and in code (x86 takes
   the table's address as an immediate). */
int values[4] = {10, 20, 30, 40};
int *table[4] = {&values[0], &values[1], &values[2], &values[3]};
const char *names[2] = {"first", "second"};

__declspec(dllexport) int *get_value(int i) { return table[i & 3]; }
__declspec(dllexport) const char *get_name(int i) { return names[i & 1]; }
__declspec(dllexport) int sum(void) {
  int s = 0;
  for (int i = 0; i < 4; ++i) s += *table[i];
  return s;
}
