// The program: start-up, the main loop, shutdown.
#include "app.h"

int main()
{
    return app_run();
}
