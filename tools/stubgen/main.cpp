// corvid_py_stubgen MODULE OUTPUT: writes the type stub of MODULE, from the
// stub records linked into this program, to the file OUTPUT.
#include <cstdio>
#include <fstream>
#include <print>
#include <string>

#include "corvid_py/stub_registry.hpp"
#include "stubgen/stub_writer.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::println(stderr, "usage: corvid_py_stubgen MODULE OUTPUT");
        return 2;
    }
    const auto stub = corvid_py::stubgen::write_module_stub(
        argv[1], corvid_py::class_stub_registry, corvid_py::method_group_stub_registry);
    if (!stub) {
        std::println(stderr, "corvid_py_stubgen: {}", stub.error());
        return 1;
    }
    std::ofstream output(argv[2], std::ios::binary | std::ios::trunc);
    output << *stub;
    output.close();
    if (!output) {
        std::println(stderr, "corvid_py_stubgen: could not write {}", argv[2]);
        return 1;
    }
    return 0;
}
