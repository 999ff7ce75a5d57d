// Kelbrook_7-7 and Kelbrook_Emailing_7-7 on Linux: the program is its one window.
#include "Qt_Program.h"

int main(int argc, char* argv[]) { return kelbrook::qt::Run_Program(argc, argv); }
