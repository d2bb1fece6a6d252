#include "extractor/extractor.h"

int main(int argc, char** argv) { return dat::run_extractor(dat::native_platform(), argc, argv); }
