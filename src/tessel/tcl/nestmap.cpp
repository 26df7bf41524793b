// nestmap.cpp — placeholder until the module is built.
#include <nanobind/nanobind.h>
NB_MODULE(nestmap, m) { (void)m; }
