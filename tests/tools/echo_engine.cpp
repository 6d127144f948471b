// echo_engine: the smallest UCI engine, in standard C++ alone, so that it
// builds for Windows too. It answers "uci" and "isready", and ends on "quit"
// or at the end of its input. The Windows smoke run publishes it.
#include <iostream>
#include <string>

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line == "uci") {
            std::cout << "id name Echo 1.0\nid author the Agent Server team\nuciok" << std::endl;
        } else if (line == "isready") {
            std::cout << "readyok" << std::endl;
        } else if (line == "quit") {
            break;
        }
    }
    return 0;
}
