#include "ui/Application.h"

int main(int argc, char* argv[]) {
    return runTambrook(argc, argv);
}
