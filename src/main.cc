#include "startup.h"

int main(int argc, char** argv) { return lumo_main(argc, argv); }
