// Takes vimra's icon away from the notification area from outside, as a
// shell restart does: the program has to notice on its own and add it again.
#include <windows.h>
#include <shellapi.h>

int main()
{
    NOTIFYICONDATAW icon = {};
    icon.cbSize = sizeof icon;
    icon.hWnd = FindWindowW(L"VIMRA", nullptr);
    icon.uID = 1;
    return icon.hWnd != nullptr && Shell_NotifyIconW(NIM_DELETE, &icon) ? 0 : 1;
}
