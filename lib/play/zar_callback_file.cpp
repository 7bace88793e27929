// Every field operation of a callback clip first asks the application
// which clip item and field to use, looks the handle up (holding the item
// for the operation) and forwards to the item.

#include "zar_callback_file.h"

#include "include/zardll.h"
#include "zar_clip_item.h"

class CZarCallbackFile::Target {
public:
    Target(const CZarCallbackFile& file, uint32_t field)
    {
        uint32_t handle = 0;
        if (!file.m_callback || file.m_callback(file.m_context, field, &handle, &m_field) == 0 || handle == 0 ||
            handle == 0xFFFFFFFFu) {
            m_result = kNothingMapped;
            return;
        }
        CHandleObject* object = nullptr;
        if (!CHandleObject::LookupHandle(handle, &object)) {
            m_result = ZAR_E_BAD_HANDLE;
            return;
        }
        m_item = dynamic_cast<CClipItem*>(object);
        if (!m_item || m_item->GetType() != CClipItem::kType) {
            object->EndLookup();
            m_item = nullptr;
            m_result = ZAR_E_BAD_HANDLE;
            return;
        }
        m_result = ZAR_OK;
    }
    ~Target()
    {
        if (m_item) m_item->EndLookup();
    }
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    int32_t Result() const { return m_result; }
    CClipItem& Item() const { return *m_item; }
    uint32_t Field() const { return m_field; }

private:
    int32_t m_result = ZAR_E_BAD_HANDLE;
    CClipItem* m_item = nullptr;
    uint32_t m_field = 0;
};

CZarCallbackFile::CZarCallbackFile(CBoardConnection* connection, ZarClipFieldCallback callback, uint32_t context,
                                   uint32_t frames)
    : CZarFile(std::u16string()), m_connection(connection), m_callback(callback), m_context(context), m_frames(frames)
{
    m_accessMode = GENERIC_READ;
}

int32_t CZarCallbackFile::GetFillNode(uint32_t field, ZAR_FIELD_LOCATION** node)
{
    Target t(*this, field);
    if (t.Result() != ZAR_OK) return t.Result();
    return t.Item().GetFieldNode(t.Field(), node);
}

int32_t CZarCallbackFile::FillFieldToBoard(uint32_t field, uint32_t slot, uint32_t keyWord)
{
    Target t(*this, field);
    if (t.Result() != ZAR_OK) return t.Result();
    return t.Item().FieldToBoard(t.Field(), slot, keyWord);
}

int32_t CZarCallbackFile::FillFieldToBoardSync(uint32_t field, uint32_t slot, uint32_t value20, uint32_t value96)
{
    Target t(*this, field);
    if (t.Result() != ZAR_OK) return t.Result();
    return t.Item().FieldToBoardSync(t.Field(), slot, value20, value96);
}

int32_t CZarCallbackFile::ReadFillField(uint32_t field, void* buffer, uint32_t bytes)
{
    Target t(*this, field);
    if (t.Result() != ZAR_OK) return t.Result();
    return t.Item().ReadField(t.Field(), buffer, bytes);
}

uint32_t CZarCallbackFile::GetFillFieldSize(uint32_t field)
{
    Target t(*this, field);
    if (t.Result() != ZAR_OK) return uint32_t(t.Result());
    return uint32_t(t.Item().GetFieldSize(t.Field()));
}

int32_t CZarCallbackFile::GetFieldPlacement(uint32_t field, uint32_t* target, uint32_t* block, uint32_t* sectors)
{
    Target t(*this, field);
    if (t.Result() != ZAR_OK) return t.Result();
    return t.Item().GetFieldPlacement(t.Field(), target, block, sectors);
}

uint32_t CZarCallbackFile::IsFillUncompressed()
{
    Target t(*this, 0);
    if (t.Result() != ZAR_OK) return 0;
    return t.Item().IsUncompressed();
}

uint32_t CZarCallbackFile::GetFieldParity(uint32_t field)
{
    Target t(*this, field);
    if (t.Result() != ZAR_OK) return field & 1;
    return t.Item().GetFieldParity(t.Field());
}
