/* Prints the text of the first field of the status bar in the top-level
 * window whose title starts with the given words, as the user reads it:
 * another process's status bar answers WM_GETTEXT with its first field.
 * Exits 1, with a line on standard error, when there is no such window or
 * it has no status bar.
 *   status_text.exe TITLE_START */
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

/* A status bar that does not answer within this is treated as none. */
#define ANSWER_WITHIN_MS 2000
#define TEXT_CHARS 512

struct search {
    const wchar_t* title_start;
    HWND found;
};

static BOOL CALLBACK titled(HWND window, LPARAM context) {
    struct search* search = (struct search*)context;
    wchar_t title[TEXT_CHARS];
    if (!IsWindowVisible(window) || GetWindowTextW(window, title, TEXT_CHARS) == 0) return TRUE;
    if (wcsncmp(title, search->title_start, wcslen(search->title_start)) != 0) return TRUE;
    search->found = window;
    return FALSE;
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: status_text.exe TITLE_START\n");
        return 2;
    }
    struct search search = {argv[1], NULL};
    EnumWindows(titled, (LPARAM)&search);
    if (search.found == NULL) {
        fprintf(stderr, "status_text: no window titled %ls...\n", argv[1]);
        return 1;
    }
    HWND bar = FindWindowExW(search.found, NULL, STATUSCLASSNAMEW, NULL);
    wchar_t text[TEXT_CHARS] = L"";
    DWORD_PTR copied = 0;
    if (bar == NULL || SendMessageTimeoutW(bar, WM_GETTEXT, TEXT_CHARS, (LPARAM)text,
                                           SMTO_ABORTIFHUNG, ANSWER_WITHIN_MS, &copied) == 0) {
        fprintf(stderr, "status_text: no status bar in %ls...\n", argv[1]);
        return 1;
    }
    printf("%ls\n", text);
    return 0;
}
