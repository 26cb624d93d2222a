// The systemd unit of each service: the one template the package ships too
// (service/units), rendered with the program's name, description, its own
// lines and the quoted path of its executable. Pure text; any thread.
#pragma once

#include <string>

namespace tovl {

// The unit for program "name" ("tovlserver" or "tovlclient") whose image is
// quotedImagePath (with or without surrounding double quotes).
std::string ServiceUnitText(const char* name, const std::string& quotedImagePath);

}  // namespace tovl
