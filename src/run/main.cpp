#include "run/run.h"

int main(int argc, char** argv) { korvo::run(argc, argv); }
