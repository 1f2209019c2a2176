// Links against libflumina and uses its public header only.
#include <flumina.h>

#include <iostream>

int main() {
    // Without a service: prove the library loads and its symbols resolve.
    void (*heartbeat)() = keep;
    std::cout << "libflumina linked: " << (heartbeat != nullptr ? "yes" : "no") << std::endl;
    return 0;
}
