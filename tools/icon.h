// The icon of a Windows installer: an icon file of one image, read once as icon 1 of icon group 102.
#ifndef ZORV_TOOLS_ICON_H
#define ZORV_TOOLS_ICON_H

#include <string>
#include <vector>

#include "resource_image.h"

// Reads the icon file at path and appends its image, as icon 1, and the group that names it, as
// icon group 102, to resources. Refused with one line when path is not an icon file or does not
// hold exactly one image: the installer carries one, so that its resource table holds nothing more.
bool icon_resources(const std::string &path, std::vector<resource_entry> &resources, std::string &error);

#endif
