#include "application.h"

int main(int argc, char** argv) {
    return norva_app::Application().run(argc, argv);
}
