#include "lister/lister.h"

int main(int argc, char** argv) { return dat::run_lister(dat::native_platform(), argc, argv); }
