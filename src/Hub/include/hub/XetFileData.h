#pragma once

#include <string>

namespace hub {

// Where a file kept in Xet storage lies: its hash there and the route that refreshes access to it.
struct XetFileData {
    std::string fileHash;
    std::string refreshRoute;

    friend bool operator==(const XetFileData&, const XetFileData&) = default;
};

}  // namespace hub
