#include "Mistrel.h"

int main(int, char**) { return runMistrel(); }
