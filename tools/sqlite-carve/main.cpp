#include <iostream>
#include <string>
#include <vector>

#include "sqlite-carve/SqliteCarve.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::vector<std::string> arguments(argv + 1, argv + argc);
    const int status = talwen::sqlite::runSqliteCarve(arguments, std::cout, std::cerr);
    std::cout.flush();
    return status;
}
