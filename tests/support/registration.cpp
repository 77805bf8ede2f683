#include "support/registration.h"

#include "foundation/network_runtime.h"

void RegisterClassesForTests() {
    vmRegisterFoundationClasses();
}
