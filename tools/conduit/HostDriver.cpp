// Loading, starting and unloading the driver inside a host machine.
#include "HostDriver.h"

#include <cstdio>
#include <exception>

#include "adapter/DriverEntry.h"
#include "kernel/DriverImage.h"
#include "kernel/Machine.h"
#include "kernel/Pnp.h"

namespace conduit::tool {

std::string StatusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

HostDriver::HostDriver(host::Machine& machine) : machine_(machine) {}

HostDriver::~HostDriver() {
    Unload();
}

bool HostDriver::Start(const std::string& imagePath, std::string* failure) {
    try {
        const std::string path =
            imagePath.empty() ? host::DriverImage::PathOf(&DriverEntry) : imagePath;
        image_ = std::make_unique<host::DriverImage>(path);
    } catch (const std::exception& error) {
        *failure = std::string("loading the driver image: ") + error.what();
        return false;
    }
    host::Pnp& pnp = machine_.Get<host::Pnp>();
    // The image outlives the driver record; the record only borrows it.
    std::shared_ptr<void> keep(image_.get(), [](void*) {});
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = pnp.Load(image_->EntryPoint(), u"conduit", &status, keep);
    if (driver_ == nullptr || !NT_SUCCESS(status)) {
        *failure = "driver entry failed with " + StatusText(status);
        return false;
    }
    status = pnp.AddDevice(*driver_);
    if (!NT_SUCCESS(status)) {
        *failure = "adding the device failed with " + StatusText(status);
        return false;
    }
    status = pnp.StartDevice(*driver_);
    if (!NT_SUCCESS(status)) {
        *failure = "starting the device failed with " + StatusText(status);
        return false;
    }
    return true;
}

std::vector<std::string> HostDriver::Unload() {
    if (driver_ == nullptr) {
        return {};
    }
    host::LoadedDriver* driver = driver_;
    driver_ = nullptr;
    return machine_.Get<host::Pnp>().Unload(*driver);
}

} // namespace conduit::tool
