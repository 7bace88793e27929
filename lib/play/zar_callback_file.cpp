// Every field operation of a callback clip first asks the application
// which clip item and field to use, looks the handle up (holding the item
// for the operation) and forwards to the item.

#include "zar_callback_file.h"

#include <atomic>

#include "include/zardll.h"
#include "zar_play_item.h"

namespace {
std::atomic<const ZAR_CLIP_ITEM_FIELD_OPS*> g_ops{nullptr};
}  // namespace

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
        m_ops = g_ops.load();
        CHandleObject* object = nullptr;
        if (!m_ops || !CHandleObject::LookupHandle(handle, &object)) {
            m_result = ZAR_E_BAD_HANDLE;
            return;
        }
        m_item = dynamic_cast<CPlayItem*>(object);
        if (!m_item || m_item->GetType() != kClipItemType) {
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
    CPlayItem* Item() const { return m_item; }
    uint32_t Field() const { return m_field; }
    const ZAR_CLIP_ITEM_FIELD_OPS& Ops() const { return *m_ops; }

private:
    int32_t m_result = ZAR_E_BAD_HANDLE;
    CPlayItem* m_item = nullptr;
    uint32_t m_field = 0;
    const ZAR_CLIP_ITEM_FIELD_OPS* m_ops = nullptr;
};

CZarCallbackFile::CZarCallbackFile(CBoardConnection* connection, ZarClipFieldCallback callback, uint32_t context,
                                   uint32_t frames)
    : CZarFile(std::u16string()), m_connection(connection), m_callback(callback), m_context(context), m_frames(frames)
{
    m_accessMode = GENERIC_READ;
}

void CZarCallbackFile::SetClipItemOps(const ZAR_CLIP_ITEM_FIELD_OPS* ops)
{
    g_ops.store(ops);
}

int32_t CZarCallbackFile::GetFillNode(uint32_t field, ZAR_FIELD_LOCATION** node)
{
    Target t(*this, field);
    if (t.Result() != ZAR_OK) return t.Result();
    return t.Ops().getFieldNode(t.Item(), t.Field(), node);
}

int32_t CZarCallbackFile::FillFieldToBoard(uint32_t field, uint32_t slot, uint32_t keyWord)
{
    Target t(*this, field);
    if (t.Result() != ZAR_OK) return t.Result();
    return t.Ops().fieldToBoard(t.Item(), t.Field(), slot, keyWord);
}

int32_t CZarCallbackFile::FillFieldToBoardSync(uint32_t field, uint32_t slot, uint32_t value20, uint32_t value96)
{
    Target t(*this, field);
    if (t.Result() != ZAR_OK) return t.Result();
    return t.Ops().fieldToBoardSync(t.Item(), t.Field(), slot, value20, value96);
}

int32_t CZarCallbackFile::ReadFillField(uint32_t field, void* buffer, uint32_t bytes)
{
    Target t(*this, field);
    if (t.Result() != ZAR_OK) return t.Result();
    return t.Ops().readField(t.Item(), t.Field(), buffer, bytes);
}

uint32_t CZarCallbackFile::GetFillFieldSize(uint32_t field)
{
    Target t(*this, field);
    if (t.Result() != ZAR_OK) return uint32_t(t.Result());
    return t.Ops().getFieldSize(t.Item(), t.Field());
}

int32_t CZarCallbackFile::GetFieldPlacement(uint32_t field, uint32_t* target, uint32_t* block, uint32_t* sectors)
{
    Target t(*this, field);
    if (t.Result() != ZAR_OK) return t.Result();
    return t.Ops().getFieldPlacement(t.Item(), t.Field(), target, block, sectors);
}

uint32_t CZarCallbackFile::IsFillUncompressed()
{
    Target t(*this, 0);
    if (t.Result() != ZAR_OK) return 0;
    return t.Ops().isUncompressed(t.Item());
}

uint32_t CZarCallbackFile::GetFieldParity(uint32_t field)
{
    Target t(*this, field);
    if (t.Result() != ZAR_OK) return field & 1;
    return t.Ops().fieldParity(t.Item(), t.Field());
}
