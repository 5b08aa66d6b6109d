#pragma once

#include <QIcon>
#include <QImage>
#include <QString>

// The program's pictures, rendered from their SVG sources at whatever size is
// asked for, so that they stay crisp on today's panels. The icons list
// ImageSizes as their sizes (window icons also the larger ones window
// switchers ask for).
constexpr int ImageSizes[] = {16, 22, 24, 32};

// The tray image list (IconList): two computers joined by a cable, with a sign
// on the left telling the state. Index meanings are TTrayImage's
// (app/TrayStatus.h). Out of range gives a null icon.
constexpr int TrayImageListCount = 10;
QIcon TrayImage(int Index);

// The tray menu's image list (MenuIcons): 0 send, 1 options, 2 received
// messages, 3 exit, 4 talk, 5 close message windows, 6 saved messages,
// 7 session log, 8 resend. Out of range gives a null icon.
constexpr int MenuImageCount = 9;
QIcon MenuImage(int Index);

// Window icons by resource name: "Z_ICN_SEND" (send dialog), "Z_ICN_MESSAGE"
// (message windows), "Z_ICN_TALK" (Talk window) and "MAINICON" (the program).
// An unknown name gives a null icon.
QIcon WindowIcon(const QString& Name);

// Renders one picture at one size into a transparent image: what the icons
// are made of, open for tests and previews. Kind: 't' tray, 'm' menu, 'w' window
// icon (0 send, 1 message, 2 talk, 3 program).
QImage DrawImage(char Kind, int Index, int Size);
