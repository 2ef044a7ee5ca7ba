#include "client/clientapp.h"

int main(int argc, char** argv) {
    client::CTandrelClientApp app;
    return app.Run(argc, argv);
}
