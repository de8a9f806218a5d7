/* Prints the family of the font Windows draws its message font in, the font
 * wx gives a window's controls: the family of the font file chosen for it,
 * which under Wine is another when the one named is not installed.
 * Exits 1, with a line on standard error, when it cannot tell. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int main(void) {
    NONCLIENTMETRICSW metrics = {0};
    metrics.cbSize = sizeof metrics;
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        fprintf(stderr, "message_font: no message font\n");
        return 1;
    }
    HFONT font = CreateFontIndirectW(&metrics.lfMessageFont);
    HDC dc = CreateCompatibleDC(NULL);
    if (font == NULL || dc == NULL) {
        fprintf(stderr, "message_font: cannot make the font\n");
        return 1;
    }
    SelectObject(dc, font);
    const UINT size = GetOutlineTextMetricsA(dc, 0, NULL);
    OUTLINETEXTMETRICA* outline = size ? malloc(size) : NULL;
    if (outline == NULL || GetOutlineTextMetricsA(dc, size, outline) == 0) {
        fprintf(stderr, "message_font: no outline font for the message font\n");
        return 1;
    }
    /* The family's name lies in the same block, at this offset. */
    printf("%s\n", (const char*)outline + (size_t)outline->otmpFamilyName);
    free(outline);
    DeleteDC(dc);
    DeleteObject(font);
    return 0;
}
