// Native file names of exported parts, and the lookup of one clone attribute
// of a part that the export rules share.
#pragma once

#include "host/host_api.h"

#include <string>
#include <string_view>

namespace kx {

namespace work {
// The native file name of one exported part.
int translate_export(const char* part_spec, char new_name[HOST_MAX_FSPEC_BUFSIZE]);
}  // namespace work

// Longest server name taken as it is; a longer one is cut here and gets
// ".prt" appended.
inline constexpr std::size_t export_name_limit = 252;
// Longest fallback name; the cut may take part of the "_no.prt" ending.
inline constexpr std::size_t fallback_name_limit = 26;

// Writes the name that stands in when the server cannot name a part:
// "<related part name>_no.prt", "<item ID>_<revision ID>_no.prt" or the
// part name itself, cut at 26 characters.
void make_fallback_export_name(const char* part_spec, char new_name[HOST_MAX_FSPEC_BUFSIZE]);

// Looks up the clone attribute `title` of the part. On success the value of
// the first attribute with exactly that title replaces `value` whole (left as
// it was when there is none) and 0 is returned; a failed host query returns
// its status and leaves `value` alone.
int find_clone_attribute(const char* part_spec, std::string_view title, std::string& value);

}  // namespace kx
