// The process-wide stub registries.
#include "corvid_py/stub_registry.hpp"

namespace corvid_py {

constinit StubRegistry<ClassStub> class_stub_registry;
constinit StubRegistry<MethodGroupStub> method_group_stub_registry;

}  // namespace corvid_py
