#include "core/registration.h"

#include <mutex>

#include "core/manager_parts.h"
#include "foundation/network_runtime.h"

namespace {

void RegisterModules() {
    vmRegisterFoundationClasses();
    // The other modules' registrations follow here, in include order: the stack's
    // vmRegisterStackClasses() first, then http, direct, engine, update, archive, xml.

    // The parts of the job manager that this build provides. Until the direct and engine
    // downloaders, the data download and the content-length check are linked in, there are none.
    SetDefaultManagerFactories(CJobManagerFactories{});
}

}  // namespace

void RegisterLibraryClasses() {
    static std::once_flag once;
    std::call_once(once, RegisterModules);
}
