// A shared object for the LoadLibrary tests.
extern "C" __attribute__((visibility("default"))) int W32TestAdd(int a, int b) { return a + b; }
