#include "Startup.h"

int main(int argc, char **argv)
{
    TApplication app(argc, argv);
    try {
        Startup program;
        int rc = app.exec();
        app.rethrowPending();
        return rc;
    } catch (...) {
        show_fatal_exception(exception_text(std::current_exception()));
        return 1;
    }
}
