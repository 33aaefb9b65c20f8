// Entry point of ambrel: the alignment-analysis step between the aligner and the counting steps.
#include <exception>

#include "Run.h"
#include "support/Logger.h"

int main(int argc, char** argv) {
    try {
        return runAmbrel(argc, argv);
    } catch (const std::exception& e) {
        // Set-up and finishing failures stop the run here; the message must reach the user.
        gLogger.critical("%s", e.what());
        return 2;
    }
}
