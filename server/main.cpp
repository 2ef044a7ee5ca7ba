#include "server/serverapp.h"

int main(int argc, char** argv) {
    CTandrelServerApp app;
    return app.Run(argc, argv);
}
