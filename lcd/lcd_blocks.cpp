// lcd_blocks.cpp - both publication blocks, read through the readers' header, and judged live or stale.
#include <cstring>

#include "lcd.h"
#include "mp_limits.h"
#include "refusal.h"

namespace {
// Each block's last good copy, and one spare that every copy is taken into: a copy that holds
// takes the place of its block's table, whose room becomes the spare. 696,660 bytes each,
// never on the stack.
vr_record tables[3][VR_TABLE_RECORDS];
vr_record* spare = tables[2];
vr_record* const mpx_table = tables[0];
vr_record* const wfr_table = tables[1];
}  // namespace

LcdBlock lcd_mpx{VR_MPEXTENDED, MP_STALE_MPEXTENDED, mpx_table};
LcdBlock lcd_wfr{VR_WIFIREMOTE, MP_STALE_WIFIREMOTE, wfr_table};

int lcd_name_blocks() {
    int rc = vr_block_name(lcd_mpx.name, sizeof lcd_mpx.name, VR_MPEXTENDED);
    return rc != 0 ? rc : vr_block_name(lcd_wfr.name, sizeof lcd_wfr.name, VR_WIFIREMOTE);
}

LcdBlockState lcd_block_age_state(const vr_record& header, int64_t now, int stale_after) {
    // A time of 0 was never written by a publication; the 32-bit count is read unsigned so
    // that it stays right after January 2038.
    int64_t published = static_cast<int64_t>(static_cast<uint32_t>(header.time));
    if (published == 0) return LCD_BLOCK_STALE;
    int64_t age = now - published;
    // A publication far ahead of the clock is no sign of a live bridge either: a live one
    // publishes with the clock as it stands.
    if (age > stale_after || age < -stale_after) return LCD_BLOCK_STALE;
    return LCD_BLOCK_LIVE;
}

namespace {

// Why the reader does not read an object of a block's name, in the platform layer's words; null
// for an error of the system (no block there at all, most often).
const char* refusal_text(int rc) {
    switch (rc) {
    case VR_FOREIGN: return vp_refusal_words(VP_FOREIGN);
    case VR_SHARED: return vp_refusal_words(VP_SHARED);
    case VR_SHORT: return vp_refusal_words(VP_SHORT);
    case VR_ODD: return "it is no plain shared-memory object";
    default: return nullptr;
    }
}

const char* state_text(LcdBlockState s) {
    return s == LCD_BLOCK_LIVE ? "live" : s == LCD_BLOCK_STALE ? "stale: no data shown" : "missing: no data shown";
}

void read_table(LcdBlock* block, int64_t now) {
    vr_block b;
    // Opened afresh each time: a bridge that starts again may make a new block under the name
    // (on Windows a block lives only while somebody holds it).
    int rc = vr_open(&b, block->name);
    if (rc != block->refusal && refusal_text(rc))
        lcd_error("Not reading the block %s: %s; its screens show no data", block->name, refusal_text(rc));
    block->refusal = refusal_text(rc) ? rc : 0;
    if (rc != 0) {
        block->state = LCD_BLOCK_MISSING;
        block->count = 0;
        return;
    }
    vr_encoding encoding = vr_encoding_of(&b);
    int count = vr_snapshot(&b, spare, VR_TABLE_RECORDS, VR_TRIES);
    vr_close(&b);
    if (count == VR_TORN) {
        // The bridge published during every attempt: the last good copy stands, and ages.
        if (block->state != LCD_BLOCK_MISSING)
            block->state = lcd_block_age_state(block->table[0], now, block->stale_after);
        return;
    }
    if (count < 0) {
        block->state = LCD_BLOCK_MISSING;
        block->count = 0;
        return;
    }
    vr_record* good = spare;
    spare = block->table;
    block->table = good;
    block->count = count;
    block->encoding = encoding;
    block->state = lcd_block_age_state(block->table[0], now, block->stale_after);
}

}  // namespace

void lcd_block_read(LcdBlock* block, int64_t now) {
    read_table(block, now);
    if (block->state != block->told) {
        lcd_report(1, "Block %s: %s", block->name, state_text(block->state));
        block->told = block->state;
    }
}

bool lcd_block_value(const LcdBlock& block, const char* name, LcdValue* value) {
    if (block.state != LCD_BLOCK_LIVE) return false;
    const vr_record* r = vr_find(block.table, block.count, name);
    if (r == nullptr) return false;
    value->type = r->type;
    value->ival = r->ival;
    value->text = r->string;
    value->len = strnlen(r->string, VR_TEXT_SIZE);
    value->encoding = block.encoding;
    return true;
}
