// Every message the application shows the user goes through show_message, which
// formats it and hands the text to the current presenter. The default presenter
// is the toolkit's modal fl_message box (information icon, one "Close" button;
// posted handlers and timers keep running while it is open). Tests install a
// presenter that records the text and returns at once.
#pragma once

using message_presenter = void (*)(const char* text);

void show_message(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Installs a presenter (nullptr restores the toolkit box) and returns the previous one.
message_presenter set_message_presenter(message_presenter presenter);
