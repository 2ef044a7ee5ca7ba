#include "server/serverapp.h"

int main(int argc, char** argv) {
    server::CTandrelServerApp app;
    return app.Run(argc, argv);
}
