// The four clients a transport test serves: either direction's file, opened from a 64-bit or a
// 32-bit process, with readable test names.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

struct ClientCase {
    bool render;
    bool is32Bit;
};

inline std::string ClientCaseText(const ClientCase& client) {
    return std::string(client.render ? "Render" : "Capture") +
           (client.is32Bit ? "From32Bit" : "From64Bit");
}

inline void PrintTo(const ClientCase& client, std::ostream* out) {
    *out << ClientCaseText(client);
}

inline std::string ClientCaseName(const testing::TestParamInfo<ClientCase>& info) {
    return ClientCaseText(info.param);
}

inline auto EveryClientCase() {
    return testing::Values(ClientCase{true, false}, ClientCase{true, true},
                           ClientCase{false, false}, ClientCase{false, true});
}
