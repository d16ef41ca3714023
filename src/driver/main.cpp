#include "driver/program.h"

int main(int argc, char** argv) { return kalvenor::runProgram(argc, argv); }
