// The game's user folder tree under the user's documents folder, made at every start-up.
#pragma once

#include <string>
#include <string_view>

// The ditty folders, one per game situation or club, in the order they are made.
extern const std::string_view FOLDERS_DITTIES[41];

// Makes "KRV 2003/USER/menu tunes" and "KRV 2003/USER/ditties/<each ditty folder>" under
// `documents` (made itself when missing), leaving existing folders alone. Returns the ditty folder
// to propose as output, ending in '/', or "" when `documents` is empty or cannot be made.
std::string folders_create(const std::string& documents);
