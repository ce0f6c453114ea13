// The driver as an event source of the System event log: its own key with
// the message files and event types, and its name in the log's "Sources".
#pragma once

// True when the source key, its two values and the "Sources" entry are in
// place; reports the first failure and stops there.
bool AddEventLogSource();

// Takes the source key and the "Sources" entry away; reports the first
// failure and stops there.
void RemoveEventLogSource();
