// The program: start-up, the main loop, shutdown.
#include "app.h"

#include "cli.h"

int main(int argc, char** argv)
{
    int status = cli_main(argc, argv);
    if (status >= 0) return status;
    return app_run();
}
