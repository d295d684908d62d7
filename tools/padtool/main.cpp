// padtool: checks and prepares PAD images for update. See `padtool --help`.
#include "tools/padtool/commands.h"

int main(int argc, char** argv) {
    return padtool::RunPadtool(argc, argv);
}
