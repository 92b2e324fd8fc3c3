// The `quillmar` executable.
#include "app/quillmar_app.h"

#include <wx/init.h>

wxIMPLEMENT_APP_NO_MAIN(quillmar);

int main(int argc, char** argv) {
    ensure_utf8_locale();
    return wxEntry(argc, argv);
}
