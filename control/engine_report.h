// The engine table report answered to "query": every published engine with
// its connected clients, as plain text ending with "<<<querydone\n\n".
#pragma once

#include <string>

#include "platform/platform.h"

// The whole report text; takes orvane_table_lock for the walk of the table.
std::string orvane_engine_report_text();
// Runs a report under the busy flag and sends it. False when the client
// stopped reading and the reply could not be delivered.
bool orvane_query_engines(os_socket_t sock);
