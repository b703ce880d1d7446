// The object sited in a web browser: pages from the Internet or Restricted zone may not reach the
// methods that read or write files or start programs; the script host's own site, local pages
// and intranet pages keep them.
#include <gtest/gtest.h>
#include <windows.h>
#include <ocidl.h>
#include <string>

#include "TrelClientHelper_h.h"
#include "client_common.h"
#include "client_fixture.h"
#include "fake_browser_site.h"

namespace {

const wchar_t kZoneDomains[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\ZoneMap\\Domains";

// Maps http pages of host.domain to the zone, as an administrator does in the zone settings.
void MapDomain(const wchar_t* domain, const wchar_t* host, DWORD zone)
{
    std::wstring key = std::wstring(kZoneDomains) + L"\\" + domain + L"\\" + host;
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr), 0);
    RegSetValueExW(h, L"http", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zone), sizeof(zone));
    RegCloseKey(h);
}


class Zones : public ClientHelperTest
{
protected:
    void SetUp() override
    {
        ClientHelperTest::SetUp();
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        m_file = std::string(temp) + "trel_zones.txt";
        HANDLE h = CreateFileA(m_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD n = 0;
        WriteFile(h, "AB", 2, &n, nullptr);
        CloseHandle(h);
        MapDomain(L"trel-zones.test", L"intranet", 1);
        MapDomain(L"trel-zones.test", L"blocked", 4);
    }
    void TearDown() override
    {
        Site(nullptr);
        DeleteFileA(m_file.c_str());
        ClientHelperTest::TearDown();
    }
    void Site(IUnknown* site)
    {
        ComPtr<IObjectWithSite> withSite;
        ASSERT_EQ(m_helper->QueryInterface(IID_IObjectWithSite, withSite.PutVoid()), S_OK);
        ASSERT_EQ(withSite->SetSite(site), S_OK);
        if (site != nullptr)
            site->Release();
    }
    HRESULT Encode(std::wstring* error = nullptr)
    {
        Bstr name(std::wstring(m_file.begin(), m_file.end()).c_str()), res;
        HRESULT hr = m_helper->EncodeFile(name, res.Put());
        if (error != nullptr)
            *error = FAILED(hr) ? ThreadErrorText() : res.Text();
        return hr;
    }

    std::string m_file;
};

} // namespace

TEST_F(Zones, HostsThatAreNoBrowserAndTrustedPagesKeepEveryMethod)
{
    std::wstring text;
    EXPECT_EQ(Encode(&text), S_OK);
    EXPECT_EQ(text, L"4142");

    Site(CreateFakeBrowserSite(L"", 0));  // a script host's site: no browser behind it
    EXPECT_EQ(Encode(&text), S_OK) << Narrow(text);

    for (const wchar_t* url : {L"file:///C:/pages/card.html", L"http://intranet.trel-zones.test/card.html"}) {
        Site(CreateFakeBrowserSite(url, 1));
        EXPECT_EQ(Encode(&text), S_OK) << Narrow(url) << ": " << Narrow(text);
        EXPECT_EQ(text, L"4142");
    }

    ComPtr<IObjectWithSite> withSite;
    ASSERT_EQ(m_helper->QueryInterface(IID_IObjectWithSite, withSite.PutVoid()), S_OK);
    ComPtr<IServiceProvider> back;
    EXPECT_EQ(withSite->GetSite(IID_IServiceProvider, back.PutVoid()), S_OK);
}

TEST_F(Zones, InternetAndRestrictedPagesCannotReadWriteOrStartPrograms)
{
    struct Page {
        const wchar_t* url;
        const wchar_t* zone;
    } pages[] = {{L"http://www.example.com/card.html", L"Internet zone"},
                 {L"http://blocked.trel-zones.test/card.html", L"Restricted zone"}};
    Bstr picture(L"C:\\windows\\win.ini"), none, program(L"notepad.exe");
    for (const Page& page : pages) {
        SCOPED_TRACE(Narrow(page.url));
        Site(CreateFakeBrowserSite(page.url, 1));
        std::wstring text;
        EXPECT_EQ(Encode(&text), E_ACCESSDENIED);
        EXPECT_EQ(text.rfind(L"CClientHelper::EncodeFile()\r\nEncodeFile is not allowed for a page in the ", 0), 0u)
            << Narrow(text);
        EXPECT_NE(text.find(page.zone), std::wstring::npos) << Narrow(text);
        EXPECT_NE(text.find(page.url), std::wstring::npos) << Narrow(text);

        Bstr res;
        EXPECT_EQ(m_helper->ResizePicture(picture, 64, 48, VARIANT_TRUE, res.Put()), E_ACCESSDENIED);
        EXPECT_EQ(m_helper->OpenPictureWith(0, picture, program, VARIANT_TRUE, res.Put()), E_ACCESSDENIED);
        EXPECT_EQ(m_helper->PrintPicture(0, picture), E_ACCESSDENIED);
        EXPECT_EQ(m_helper->SelectPicturePart(0, picture, VARIANT_TRUE, 64, 48, res.Put()), E_ACCESSDENIED);
        EXPECT_EQ(m_helper->ReleasePicture(1, 1, res.Put()), E_ACCESSDENIED);
        EXPECT_EQ(m_helper->ReleasePicture2(1, 1, 0, res.Put()), E_ACCESSDENIED);
        EXPECT_EQ(m_helper->GetPictureFromCam(0, res.Put()), E_ACCESSDENIED);
        EXPECT_EQ(m_helper->ScanPicture(0, VARIANT_FALSE, res.Put()), E_ACCESSDENIED);
        // Reading a key touches no file the page names: it fails only for its own reasons.
        LONG key = 0;
        EXPECT_NE(m_helper->ReadKey(Bstr(L"COM98"), nullptr, 0, &key), E_ACCESSDENIED);
    }

    // The host takes its site back: the object is no longer on the page.
    Site(nullptr);
    EXPECT_EQ(Encode(), S_OK);
}
