// What the host exports to a Windows-built driver image, per Windows module: the loader binds
// each import by module and name to one of these addresses, or refuses the image.
#pragma once

#include <string>

namespace host {

struct ImageExport {
    const char* name;
    void* address; // a routine with the Windows x64 convention, or an exported variable
};

struct ImageModule {
    const char* name; // as an image names it; compared without regard to case
    const ImageExport* exports;
    unsigned count;
};

// The module of that name, or null when the host provides no such module.
const ImageModule* FindImageModule(const std::string& name);

// The address bound to an import of name from module, or null when module does not export it.
void* FindImageExport(const ImageModule& module, const std::string& name);

// Every module the host provides, for listing.
const ImageModule* ImageModules(unsigned* count);

} // namespace host
