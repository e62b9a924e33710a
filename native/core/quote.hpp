// varnel core: quoting of caller-supplied text in messages.
//
// `quote_text` renders a UTF-8 text the way every varnel message shows a
// quoted value: in double quotes, with a backslash before an embedded `"` or
// `\`, `\t` `\r` `\n` `\0` for those controls, other control and
// non-printable characters as `\u{hex}` (lowercase digits), and everything
// else, printable non-ASCII included, unchanged. Bytes that are not valid
// UTF-8 are shown as `\u{fffd}`.
#pragma once

#include <string>
#include <string_view>

namespace varnel {

std::string quote_text(std::string_view text);

}  // namespace varnel
