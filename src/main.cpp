#include <cstdlib>

#include "pelliton.h"

int main(int argc, char** argv) { std::exit(pelliton::RunPelliton(argc, argv)); }
