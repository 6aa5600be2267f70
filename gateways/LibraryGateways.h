// The gateways of a shared-library build, started after the program's own
// modules by the library's start step: the NSAPI gateway, then the ISAPI
// gateway, each registering its engine with the facade, which in library mode
// creates the NSAPI engine first and then the ISAPI engine.
#pragma once

namespace pithorama {

void StartLibraryGateways();

}  // namespace pithorama
