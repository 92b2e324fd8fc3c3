// The `quillmar` executable.
#include "app/build_info.h"
#include "app/heap_policy.h"
#include "app/quillmar_app.h"

#include <cstdio>
#include <cstring>

#include <wx/init.h>

wxIMPLEMENT_APP_NO_MAIN(quillmar);

namespace {
const char usage[] =
    "Usage: quillmar [--help | --version]\n"
    "Подвагонные камеры: shows an under-car inspection camera live and records its frames,\n"
    "one JPEG per odometer message, into a LevelDB database per recording.\n"
    "\n"
    "The recorder has no command-line options; it opens its window and reads everything\n"
    "else from its settings file, ~/Velkor3/config/.quillmar (edited through \"Настройки\").\n"
    "Each run writes its log to ~/Velkor3/log/.\n"
    "\n"
    "  --help       this text\n"
    "  --version    the version and the commit the program was built from\n"
    "\n"
    "Environment:\n"
    "  QUILLMAR_CAMERAS=simulated   use the built-in simulated camera instead of looking for\n"
    "                               GigE Vision / USB3 Vision cameras on the network\n";

// Only a lone --help or --version is answered here, before the toolkit starts, so neither
// needs a display; every other command line reaches the toolkit as before.
bool answer_command_line(int argc, char** argv) {
    if (argc != 2) return false;
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(usage, stdout);
        return true;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("quillmar %s\nrevision %s\n", build_info::version(), build_info::revision());
        return true;
    }
    return false;
}
}  // namespace

int main(int argc, char** argv) {
    if (answer_command_line(argc, argv)) return 0;
    return_large_blocks_to_the_system();
    ensure_utf8_locale();
    prefer_visible_scrollbars();
    use_russian_messages();
    return wxEntry(argc, argv);
}
