// history.cpp — placeholder until the module is built.
#include <nanobind/nanobind.h>
NB_MODULE(history, m) { (void)m; }
