#include "client/clientapp.h"

int main(int argc, char** argv) {
    CTandrelClientApp app;
    return app.Run(argc, argv);
}
