#include <cstdlib>

#include "frontend/frontend.h"

int main(int argc, char** argv) { std::exit(RunTool(argc, argv)); }
