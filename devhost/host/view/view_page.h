// The live view's page: HTML with its script and style, no other asset.
#pragma once

namespace flumina::host {

extern const char* const kViewPage;

}  // namespace flumina::host
