// vornres rcedit FILE [--set-version-string KEY VALUE]... [--set-file-version V]
// [--set-product-version V] [--set-icon ICO] [--get-version-string KEY]:
// rcedit's command line, the version edits and the icon in one commit.
#pragma once

namespace vorn::tool {

int RunRcedit(int argc, char** argv);

}  // namespace vorn::tool
