// Placeholder entry point until start-up lands.
#include <iostream>

int main() {
    std::cout << "Frixcam\n";
    return 0;
}
