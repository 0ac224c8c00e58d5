#pragma once
#include <windows.h>
#include <shellapi.h>

#include <cstdint>

constexpr UINT WM_TRAYCALLBACK = WM_USER + 2;
constexpr UINT kTrayIconId = 1;
constexpr UINT kTrayTipLimit = 64;

// The one record describing the icon; written only by the refresh thread.
extern NOTIFYICONDATAW TrayIconData;

void AddTrayIcon();
void ModifyTrayIcon();
// Removes the icon, keyed by the main window and the icon id.
void DeleteTrayIcon();
void UpdateTrayStatus(uint32_t displayValue);
