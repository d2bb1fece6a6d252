#include "packer/packer.h"

int main(int argc, char** argv) { return dat::run_packer(dat::native_platform(), argc, argv); }
