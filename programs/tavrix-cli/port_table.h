// The port table's texts as the commands use them; the rules live in core so that the
// change detector, the window and the command line share them.
#pragma once

#include "core/port_texts.h"

namespace tavrix::cli {

using tavrix::connection_text;
using tavrix::kNotSupport;
using tavrix::lan_status_text;
using tavrix::mode_name;
using tavrix::port_table;
using tavrix::port_texts;
using tavrix::PortTexts;
using tavrix::server_status_text;
using tavrix::text_set_for;
using tavrix::TextSet;

}  // namespace tavrix::cli
