// Kelbrook_7-7 and Kelbrook_Emailing_7-7 on Linux: the program is its one window.
#include <exception>
#include <iostream>

#include "Qt_Program.h"
#include "jet/util/Memory.h"

int main(int argc, char* argv[]) {
    kelbrook::jet::Return_Large_Blocks_Promptly();  // the compaction's peak memory stays flat
    try {
        return kelbrook::qt::Run_Program(argc, argv);
    } catch (const std::exception& failure) {
        // Only before the window is up (the window reports everything after that itself).
        std::cerr << argv[0] << ": " << failure.what() << '\n';
        return kelbrook::Exit_Run_Failed;
    }
}
