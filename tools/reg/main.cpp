// kestrune-reg: reads and writes registry values from the shell, in the manner of Windows' reg.exe.
#include "tools/reg/RegCommand.h"

int main(int argc, char **argv) {
    return RunRegCommand(argc, argv, stdout, stderr, stdin);
}
