// A library with two plain functions, for the run-time loader tests.
int fake_loader_first(int value) {
  return value + 1;
}

#ifndef FAKE_LOADER_OMIT_SECOND
int fake_loader_second(int a, int b) {
  return a * b;
}
#endif
