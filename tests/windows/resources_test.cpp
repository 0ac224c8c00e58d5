// The resources embedded in the built program, read back the way Windows
// reads them: icons through icon handles, the menu, strings, accelerators,
// the version block and the manifest.
//
// usage: resources_test [gtest flags] path\to\vimra.exe path\to\art
// (art: the folder of the committed 16x16 art, resources/icons/art)

#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

wchar_t ProgramPath[MAX_PATH];
HMODULE Program;

// The 16x16 pictures as committed, one character per pixel: W white, s
// shadow, . transparent, and in the bars the bar's number 1 to 5. They are
// read here, not through the icon generator, so that a fault in how it
// lights bars or mixes inks shows against this test's own reading.
std::vector<std::string> BarsArt, DownArt;

struct Rgba {
    int r, g, b, a;
};

Rgba Ink(char c) {
    switch (c) {
    case 'W': return {255, 255, 255, 255};
    case 'g': return {154, 154, 154, 255};
    case 's': return {0, 0, 0, 86};
    default: return {0, 0, 0, 0};
    }
}

// Expected ink at (x, y): the cross art, or the bars art with bars 1 to lit
// white and the others grey.
char ExpectedInk(bool down, int lit, int x, int y) {
    if (down) return DownArt[y][x];
    char c = BarsArt[y][x];
    if (c < '1' || c > '5') return c;
    return c - '0' <= lit ? 'W' : 'g';
}

// The 16 rows of an art file; empty if it has another shape.
std::vector<std::string> ReadArt(const std::string& dir, const char* name) {
    std::ifstream file(dir + "/" + name);
    std::vector<std::string> rows;
    for (std::string line; std::getline(file, line);) {
        if (line.size() != 16) return {};
        rows.push_back(line);
    }
    return rows.size() == 16 ? rows : std::vector<std::string>{};
}

std::wstring Widen(const char* text) {
    wchar_t buffer[MAX_PATH];
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, buffer, MAX_PATH);
    return n > 0 ? std::wstring(buffer) : std::wstring();
}

// 32-bit pixels, top row first, of a bitmap of the given size; empty if it
// has another size.
std::vector<uint8_t> BitmapPixels(HBITMAP bitmap, int size) {
    std::vector<uint8_t> bgra;
    BITMAP bm{};
    if (!bitmap || !GetObjectW(bitmap, sizeof bm, &bm) || bm.bmWidth != size ||
        bm.bmHeight != size)
        return bgra;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = size;
    bi.bmiHeader.biHeight = -size;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    bgra.resize(size_t(size) * size * 4);
    HDC dc = GetDC(nullptr);
    if (GetDIBits(dc, bitmap, 0, size, bgra.data(), &bi, DIB_RGB_COLORS) != size) bgra.clear();
    ReleaseDC(nullptr, dc);
    return bgra;
}

// Straight BGRA of an icon's colour image and, if asked, its AND mask (one
// byte per pixel, nonzero where the ground shows); empty on failure.
std::vector<uint8_t> IconPixels(HICON icon, int size, std::vector<uint8_t>* mask = nullptr) {
    ICONINFO info{};
    if (!icon || !GetIconInfo(icon, &info)) return {};
    std::vector<uint8_t> bgra = BitmapPixels(info.hbmColor, size);
    if (mask) {
        std::vector<uint8_t> bits = BitmapPixels(info.hbmMask, size);
        mask->clear();
        for (size_t i = 0; i < bits.size(); i += 4) mask->push_back(bits[i]);
    }
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    return bgra;
}

const void* ResourceBytes(const wchar_t* type, int id, DWORD* size) {
    HRSRC found = FindResourceW(Program, MAKEINTRESOURCEW(id), type);
    if (!found) return nullptr;
    *size = SizeofResource(Program, found);
    return LockResource(LoadResource(Program, found));
}

// ---- icons -----------------------------------------------------------------

struct IconCase {
    int id;
    bool down;
    int lit;
};

const IconCase Icons[] = {
    {132, true, 0},  {133, false, 1}, {134, false, 2}, {135, false, 3}, {136, false, 4},
    {137, false, 5}, {138, false, 5}, {139, false, 5}, {141, false, 0},
};

TEST(Icons, EveryStatusAndAppIconMatchesTheArtPixelForPixel) {
    for (const IconCase& c : Icons) {
        SCOPED_TRACE(c.id);
        HICON shared = LoadIconW(Program, MAKEINTRESOURCEW(c.id));
        EXPECT_NE(shared, nullptr);
        HICON icon = (HICON)LoadImageW(Program, MAKEINTRESOURCEW(c.id), IMAGE_ICON, 16, 16, 0);
        std::vector<uint8_t> mask;
        std::vector<uint8_t> bgra = IconPixels(icon, 16, &mask);
        ASSERT_EQ(bgra.size(), 16u * 16 * 4);
        ASSERT_EQ(mask.size(), 16u * 16);
        int wrong = 0;
        for (int y = 0; y < 16; ++y) {
            for (int x = 0; x < 16; ++x) {
                char ink = ExpectedInk(c.down, c.lit, x, y);
                Rgba want = Ink(ink);
                const uint8_t* p = &bgra[(y * 16 + x) * 4];
                bool masked = mask[y * 16 + x] != 0;
                if (p[2] != want.r || p[1] != want.g || p[0] != want.b || p[3] != want.a ||
                    masked != (want.a == 0)) {
                    if (++wrong <= 3)
                        ADD_FAILURE() << "pixel (" << x << "," << y << ") wants '" << ink
                                      << "', has rgba " << int(p[2]) << "," << int(p[1]) << ","
                                      << int(p[0]) << "," << int(p[3])
                                      << (masked ? ", masked" : ", not masked");
                }
            }
        }
        EXPECT_EQ(wrong, 0);
        DestroyIcon(icon);
    }
}

TEST(Icons, OnlyTheNineIconGroupsExistAndTheMenuIsNotOne) {
    for (int id = 100; id < 160; ++id) {
        bool icon = (id >= 132 && id <= 139) || id == 141;
        EXPECT_EQ(FindResourceW(Program, MAKEINTRESOURCEW(id), RT_GROUP_ICON) != nullptr, icon)
            << id;
    }
    EXPECT_EQ(LoadImageW(Program, MAKEINTRESOURCEW(140), IMAGE_ICON, 16, 16, 0), nullptr);
    EXPECT_NE(FindResourceW(Program, MAKEINTRESOURCEW(140), RT_MENU), nullptr);
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST(Icons, AppIconOffersFiveSizesAllDrawnWhiteWithoutGreyBars) {
    DWORD size = 0;
    const BYTE* dir = (const BYTE*)ResourceBytes(RT_GROUP_ICON, 138, &size);
    ASSERT_NE(dir, nullptr);
    WORD count = 0;
    memcpy(&count, dir + 4, 2);
    ASSERT_EQ(count, 5);
    ASSERT_GE(size, 6u + count * sizeof(GroupIconEntry));
    std::set<int> sizes;
    for (int i = 0; i < count; ++i) {
        GroupIconEntry e;
        memcpy(&e, dir + 6 + i * sizeof e, sizeof e);
        int side = e.width ? e.width : 256;
        sizes.insert(side);
        EXPECT_EQ(e.height ? e.height : 256, side);
        EXPECT_EQ(e.bitCount, 32);
        // Windows picks each size's own image, not a scaled neighbour.
        EXPECT_EQ(LookupIconIdFromDirectoryEx((BYTE*)dir, TRUE, side, side, 0), e.id) << side;
    }
    EXPECT_EQ(sizes, (std::set<int>{16, 32, 64, 128, 256}));

    // The larger images decode, and every opaque pixel is white: edges and
    // shadow are partial alpha, and no bar is drawn unlit.
    for (int side : {32, 64, 128, 256}) {
        SCOPED_TRACE(side);
        HICON icon = (HICON)LoadImageW(Program, MAKEINTRESOURCEW(138), IMAGE_ICON, side, side, 0);
        std::vector<uint8_t> bgra = IconPixels(icon, side);
        ASSERT_EQ(bgra.size(), size_t(side) * side * 4);
        int white = 0, notWhite = 0;
        for (size_t i = 0; i < bgra.size(); i += 4) {
            if (bgra[i + 3] != 255) continue;
            bool w = bgra[i] == 255 && bgra[i + 1] == 255 && bgra[i + 2] == 255;
            (w ? white : notWhite)++;
        }
        EXPECT_EQ(notWhite, 0);
        EXPECT_GT(white, side * side / 8);
        EXPECT_EQ(bgra[3], 0) << "corner should be transparent";
        DestroyIcon(icon);
    }
}

// ---- menu, strings, accelerators --------------------------------------------

std::wstring MenuText(HMENU menu, int position) {
    wchar_t text[64] = {};
    GetMenuStringW(menu, position, text, 64, MF_BYPOSITION);
    return text;
}

TEST(Menu, OnePopupWithAboutThenExit) {
    HMENU menu = LoadMenuW(Program, MAKEINTRESOURCEW(140));
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(GetMenuItemCount(menu), 1);
    EXPECT_EQ(MenuText(menu, 0), L"Menu");
    HMENU popup = GetSubMenu(menu, 0);
    ASSERT_NE(popup, nullptr);
    ASSERT_EQ(GetMenuItemCount(popup), 2);
    EXPECT_EQ(MenuText(popup, 0), L"About");
    EXPECT_EQ(GetMenuItemID(popup, 0), 32773u);
    EXPECT_EQ(MenuText(popup, 1), L"Exit");
    EXPECT_EQ(GetMenuItemID(popup, 1), 32771u);
    DestroyMenu(menu);
}

BOOL CALLBACK CollectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR out) {
    ((std::vector<std::wstring>*)out)
        ->push_back(IS_INTRESOURCE(name) ? L"#" + std::to_wstring((UINT_PTR)name) : name);
    return TRUE;
}

TEST(Strings, ExactlyTitleAndClass) {
    std::vector<std::wstring> blocks;
    EnumResourceNamesW(Program, RT_STRING, CollectName, (LONG_PTR)&blocks);
    ASSERT_EQ(blocks, std::vector<std::wstring>{L"#7"});  // strings 96 to 111

    // Each block holds sixteen counted strings; all but two must be empty.
    DWORD size = 0;
    const WCHAR* p = (const WCHAR*)ResourceBytes(RT_STRING, 7, &size);
    ASSERT_NE(p, nullptr);
    const WCHAR* end = p + size / sizeof(WCHAR);
    std::vector<std::pair<int, std::wstring>> found;
    for (int i = 0; i < 16; ++i) {
        ASSERT_LT(p, end);
        WORD length = *p++;
        ASSERT_LE(p + length, end);
        if (length) found.push_back({96 + i, std::wstring(p, length)});
        p += length;
    }
    EXPECT_EQ(found, (std::vector<std::pair<int, std::wstring>>{{103, L"vimra"}, {109, L"VIMRA"}}));

    wchar_t text[32] = {};
    EXPECT_EQ(LoadStringW(Program, 103, text, 32), 5);
    EXPECT_STREQ(text, L"vimra");
}

TEST(Accelerators, AltQuestionMarkAndAltSlashAsCharacters) {
    HACCEL table = LoadAcceleratorsW(Program, MAKEINTRESOURCEW(109));
    ASSERT_NE(table, nullptr);
    ACCEL entries[4] = {};
    ASSERT_EQ(CopyAcceleratorTableW(table, nullptr, 0), 2);
    ASSERT_EQ(CopyAcceleratorTableW(table, entries, 4), 2);
    const WORD keys[2] = {'?', '/'};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(entries[i].fVirt, FALT) << i;  // no FVIRTKEY: a character code
        EXPECT_EQ(entries[i].key, keys[i]) << i;
        EXPECT_EQ(entries[i].cmd, 104) << i;
    }
    DestroyAcceleratorTable(table);
}

// ---- version block -----------------------------------------------------------

TEST(Version, FixedPartStringsAndTranslation) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(ProgramPath, &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(ProgramPath, 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", (void**)&fixed, &length));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00000000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00070000u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00000000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00070000u);
    EXPECT_EQ(fixed->dwFileOS, 0x40004u);
    EXPECT_EQ(fixed->dwFileType, DWORD(VFT_APP));
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u);

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", (void**)&translation,
                               &length));
    ASSERT_EQ(length, 4u);  // one language and code page pair
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1200);

    struct {
        const wchar_t* key;
        const wchar_t* value;  // nullptr: anything but empty
    } const strings[] = {
        {L"FileDescription", L"Ping in tray"}, {L"FileVersion", L"0.0.7.0"},
        {L"InternalName", L"vimra.exe"},       {L"OriginalFilename", L"vimra.exe"},
        {L"ProductName", L"vIMRA"},            {L"ProductVersion", L"0.0.7.0"},
        {L"CompanyName", nullptr},             {L"LegalCopyright", nullptr},
    };
    for (const auto& s : strings) {
        std::wstring path = std::wstring(L"\\StringFileInfo\\040904b0\\") + s.key;
        wchar_t* value = nullptr;
        ASSERT_TRUE(VerQueryValueW(block.data(), path.c_str(), (void**)&value, &length))
            << "missing " << s.key;
        if (s.value)
            EXPECT_STREQ(value, s.value);
        else
            EXPECT_GT(wcslen(value), 0u);
    }
}

// ---- languages and manifest ----------------------------------------------------

struct Listing {
    std::set<std::wstring> types;
    std::vector<std::wstring> notEnglish;
};

std::wstring Id(LPCWSTR id) {
    return IS_INTRESOURCE(id) ? L"#" + std::to_wstring((UINT_PTR)id) : std::wstring(id);
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR out) {
    if (language != 1033)
        ((Listing*)out)->notEnglish.push_back(Id(type) + L"/" + Id(name));
    return TRUE;
}

BOOL CALLBACK CollectNameLanguages(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR out) {
    EnumResourceLanguagesW(module, type, name, CollectLanguage, out);
    return TRUE;
}

BOOL CALLBACK CollectType(HMODULE module, LPWSTR type, LONG_PTR out) {
    ((Listing*)out)->types.insert(Id(type));
    EnumResourceNamesW(module, type, CollectNameLanguages, out);
    return TRUE;
}

TEST(Resources, AllEnglishUnitedStatesAndNoStrayTypes) {
    Listing listing;
    ASSERT_TRUE(EnumResourceTypesW(Program, CollectType, (LONG_PTR)&listing));
    EXPECT_TRUE(listing.notEnglish.empty()) << listing.notEnglish.size() << " not in 1033";
    auto id = [](LPCWSTR type) { return Id(type); };
    EXPECT_EQ(listing.types,
              (std::set<std::wstring>{id(RT_ICON), id(RT_GROUP_ICON), id(RT_MENU), id(RT_STRING),
                                      id(RT_ACCELERATOR), id(RT_VERSION), id(RT_MANIFEST)}));
}

TEST(Resources, ManifestAsksForAsInvokerAndNothingElse) {
    std::vector<std::wstring> names;
    EnumResourceNamesW(Program, RT_MANIFEST, CollectName, (LONG_PTR)&names);
    EXPECT_EQ(names, std::vector<std::wstring>{L"#1"});
    DWORD size = 0;
    const char* bytes = (const char*)ResourceBytes(RT_MANIFEST, 1, &size);
    ASSERT_NE(bytes, nullptr);
    std::string xml(bytes, size);
    EXPECT_NE(xml.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(xml.find("uiAccess=\"false\""), std::string::npos);
    for (const char* unwanted : {"compatibility", "dpiAware", "dependency", "supportedOS"})
        EXPECT_EQ(xml.find(unwanted), std::string::npos) << unwanted;
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc != 3) {
        fprintf(stderr, "usage: resources_test [gtest flags] path\\to\\vimra.exe path\\to\\art\n");
        return 2;
    }
    lstrcpynW(ProgramPath, Widen(argv[1]).c_str(), MAX_PATH);
    BarsArt = ReadArt(argv[2], "bars.txt");
    DownArt = ReadArt(argv[2], "down.txt");
    if (BarsArt.empty() || DownArt.empty()) {
        fprintf(stderr, "no 16x16 art in %s\n", argv[2]);
        return 1;
    }
    Program = LoadLibraryExW(ProgramPath, nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!Program) {
        fprintf(stderr, "cannot load resources of %ls (error %lu)\n", ProgramPath,
                GetLastError());
        return 1;
    }
    return RUN_ALL_TESTS();
}
