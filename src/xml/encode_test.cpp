// Value encodings: hexadecimal, Base64, the scrambler and protected texts.
#include "xml/encode.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "xml/xml.h"
#include "xml/xml_test_util.h"

using namespace xmltest;

namespace {

std::u16string Hex(uint32_t value) {
  wchar16 text[9];
  DwordToHex(value, text);
  return text;
}

std::string Base64(const std::string& data) {
  char text[256];
  int size = 0;
  if (!Base64Encode(data.data(), static_cast<int>(data.size()), text, sizeof(text), &size))
    return "<failed>";
  EXPECT_EQ(size, static_cast<int>(strlen(text)) + 1);
  return text;
}

// A plain decoder of the standard alphabet, written independently of the encoder.
std::vector<unsigned char> FromBase64(const std::u16string& text) {
  std::vector<unsigned char> out;
  unsigned acc = 0;
  int bits = 0;
  for (char16_t c : text) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else
      break;
    acc = (acc << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<unsigned char>((acc >> bits) & 0xFF));
    }
  }
  return out;
}

TEST(Encode, DwordToHex) {
  EXPECT_EQ(Hex(0), u"0");
  EXPECT_EQ(Hex(60), u"3C");
  EXPECT_EQ(Hex(4096), u"1000");
  EXPECT_EQ(Hex(0xFFFFFFFFu), u"FFFFFFFF");
  EXPECT_EQ(Hex(0x0ABCDEF1u), u"ABCDEF1");
  EXPECT_EQ(Hex(0x80000000u), u"80000000");
}

TEST(Encode, HexToDword) {
  uint32_t v = 5;
  EXPECT_EQ(HexToDword(u"3c", &v), 1);
  EXPECT_EQ(v, 60u);
  EXPECT_EQ(HexToDword(u"", &v), 1);
  EXPECT_EQ(v, 0u);
  v = 5;
  EXPECT_EQ(HexToDword(u"0x3C", &v), 0);
  EXPECT_EQ(v, 5u);
  EXPECT_EQ(HexToDword(u"3G", &v), 0);
  EXPECT_EQ(HexToDword(u" 3", &v), 0);
  EXPECT_EQ(HexToDword(u"-1", &v), 0);
  EXPECT_EQ(v, 5u);
  EXPECT_EQ(HexToDword(u"123456789", &v), 1);
  EXPECT_EQ(v, 0x23456789u);
  EXPECT_EQ(HexToDword(u"fFfFfFfF", &v), 1);
  EXPECT_EQ(v, 0xFFFFFFFFu);
  for (uint32_t x : {0u, 1u, 60u, 0xDEADBEEFu, 0xFFFFFFFFu}) {
    EXPECT_EQ(HexToDword(Hex(x).c_str(), &v), 1);
    EXPECT_EQ(v, x);
  }
}

TEST(Encode, Base64Text) {
  EXPECT_EQ(Base64("abc"), "YWJj");
  EXPECT_EQ(Base64("ab"), "YWI=");
  EXPECT_EQ(Base64("a"), "YQ==");
  EXPECT_EQ(Base64(""), "");
  EXPECT_EQ(Base64("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64("fooba"), "Zm9vYmE=");
  EXPECT_EQ(Base64(std::string("\xfb\xff\xbf", 3)), "+/+/");
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  char text[400];
  int size = 0;
  ASSERT_TRUE(Base64Encode(all.data(), 256, text, sizeof(text), &size));
  EXPECT_EQ(size, 4 * 86 + 1);
  std::string encoded = text;
  std::vector<unsigned char> back = FromBase64(std::u16string(encoded.begin(), encoded.end()));
  EXPECT_EQ(std::string(back.begin(), back.end()), all);
}

TEST(Encode, Base64Capacity) {
  char text[16];
  int size = 0;
  for (int n = 1; n <= 3; ++n) {
    size = 0;
    EXPECT_TRUE(Base64Encode("abc", n, text, 6, &size)) << n;
    size = 0;
    EXPECT_FALSE(Base64Encode("abc", n, text, 5, &size)) << n;
    EXPECT_EQ(size, 6);
  }
  EXPECT_FALSE(Base64Encode("abcd", 4, text, 9, &size));
  EXPECT_EQ(size, 10);
  EXPECT_TRUE(Base64Encode("", 0, text, 2, &size));
  EXPECT_EQ(size, 1);
  EXPECT_FALSE(Base64Encode("", 0, text, 1, &size));
  EXPECT_EQ(size, 2);
  // Measuring without a buffer.
  size = 0;
  EXPECT_FALSE(Base64Encode("abcdefg", 7, nullptr, 0, &size));
  EXPECT_EQ(size, 14);
  // Rejected arguments store nothing.
  size = 99;
  text[0] = 'z';
  EXPECT_FALSE(Base64Encode(nullptr, 3, text, 16, &size));
  EXPECT_FALSE(Base64Encode("abc", 3, nullptr, 16, &size));
  EXPECT_FALSE(Base64Encode("abc", -1, text, 16, &size));
  EXPECT_FALSE(Base64Encode("abc", 3, text, 16, nullptr));
  EXPECT_EQ(size, 99);
  EXPECT_EQ(text[0], 'z');
}

TEST(Encode, ScrambleBuffer) {
  std::vector<unsigned char> original(3000);
  for (size_t i = 0; i < original.size(); ++i) original[i] = static_cast<unsigned char>(i * 7);
  std::vector<unsigned char> data = original;
  EXPECT_EQ(ScrambleBuffer(data.data(), 0, static_cast<int>(data.size())), 3000);
  EXPECT_NE(data, original);
  ScrambleBuffer(data.data(), 0, static_cast<int>(data.size()));
  EXPECT_EQ(data, original);

  // Zero bytes: nothing changes.
  unsigned char one = 0x42;
  EXPECT_EQ(ScrambleBuffer(&one, 0, 0), 0);
  EXPECT_EQ(one, 0x42);

  // The seed only picks the start of the keystream, which repeats after 11*13*17*23*29*31.
  const uint32_t period = 11u * 13 * 17 * 23 * 29 * 31;
  for (uint32_t s : {0u, 1u, 12345u, 1000000u}) {
    std::vector<unsigned char> a = original, b = original;
    ScrambleBuffer(a.data(), s, 500);
    ScrambleBuffer(b.data(), s + period, 500);
    EXPECT_EQ(a, b) << s;
  }
  std::vector<unsigned char> s0(64, 0), s1(64, 0);
  ScrambleBuffer(s0.data(), 0, 64);
  ScrambleBuffer(s1.data(), 1, 64);
  EXPECT_NE(s0, s1);
  // Seed 1 starts where seed 0 is one byte in.
  EXPECT_TRUE(std::equal(s1.begin(), s1.end() - 1, s0.begin() + 1));
  // More generally seed i starts at byte i of seed 0's keystream, which checks that every table
  // wraps at its own length.
  std::vector<unsigned char> stream(4000, 0);
  ScrambleBuffer(stream.data(), 0, static_cast<int>(stream.size()));
  for (uint32_t i = 0; i < stream.size(); ++i) {
    unsigned char b = 0;
    ScrambleBuffer(&b, i, 1);
    ASSERT_EQ(b, stream[i]) << i;
  }

  // The keystream is a constant of the stored data format: these bytes must never change.
  const unsigned char seed0[8] = {0xA5, 0x6A, 0xA2, 0xB9, 0x73, 0x40, 0xCB, 0x7B};
  const unsigned char seed1000[8] = {0xEE, 0x59, 0x4F, 0x5A, 0x04, 0x4F, 0xFC, 0x61};
  unsigned char zeros[8] = {0};
  ScrambleBuffer(zeros, 0, 8);
  EXPECT_EQ(memcmp(zeros, seed0, 8), 0);
  memset(zeros, 0, 8);
  ScrambleBuffer(zeros, 1000, 8);
  EXPECT_EQ(memcmp(zeros, seed1000, 8), 0);
}

TEST(Encode, Base64Attribute) {
  DocPtr doc = NewDoc();
  XML_Node* root = XML_CreateRoot(doc.get(), u"R");
  ASSERT_EQ(XML_SetAttributeBase64(doc.get(), root, u"VALUE", "abc", 3), 0);
  EXPECT_EQ(Attr(doc.get(), root, u"VALUE"), u"YWJj");
  ASSERT_EQ(XML_SetAttributeBase64(doc.get(), root, u"EMPTY", "", 0), 0);
  EXPECT_EQ(Attr(doc.get(), root, u"EMPTY"), u"");
  EXPECT_EQ(XML_SetAttributeBase64(doc.get(), root, u"BAD", nullptr, 3), 1);
  EXPECT_EQ(XML_SetAttributeBase64(doc.get(), root, u"BAD", "abc", -1), 1);
  EXPECT_EQ(XML_FindAttribute(root, u"BAD", nullptr, nullptr), nullptr);
  // From 382 bytes on the text needs more than the fixed 512 bytes and goes through allocated
  // buffers.
  for (int n : {381, 382, 384, 385, 5000}) {
    std::string block(static_cast<size_t>(n), '\0');
    for (int i = 0; i < n; ++i) block[static_cast<size_t>(i)] = static_cast<char>(i * 31 + 7);
    ASSERT_EQ(XML_SetAttributeBase64(doc.get(), root, u"BIG", block.data(), n), 0) << n;
    std::u16string text = Attr(doc.get(), root, u"BIG");
    EXPECT_EQ(text.size(), static_cast<size_t>(4 * ((n + 2) / 3))) << n;
    std::vector<unsigned char> back = FromBase64(text);
    EXPECT_EQ(std::string(back.begin(), back.end()), block) << n;
  }
}

// The protected text of a narrow text, decoded the way the component libraries read it.
std::string Unprotect(const std::u16string& value) {
  std::vector<unsigned char> bytes = FromBase64(value);
  ScrambleBuffer(bytes.data(), 0, static_cast<int>(bytes.size()));
  std::string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    EXPECT_EQ(bytes[i + 1], 0);
    text += static_cast<char>(bytes[i]);
  }
  EXPECT_EQ(bytes.size() % 2, 0u);
  return text;
}

TEST(Encode, PassAttribute) {
  DocPtr doc = NewDoc();
  XML_Node* root = XML_CreateRoot(doc.get(), u"R");
  ASSERT_EQ(XML_SetAttributePass(doc.get(), root, u"VALUE", ""), 0);
  EXPECT_EQ(Attr(doc.get(), root, u"VALUE"), u"");
  ASSERT_EQ(XML_SetAttributePass(doc.get(), root, u"VALUE", "abc"), 0);
  EXPECT_EQ(Attr(doc.get(), root, u"VALUE"), u"xGrAuRBA");
  EXPECT_EQ(Unprotect(Attr(doc.get(), root, u"VALUE")), "abc");
  std::string longText;
  for (int i = 0; i < 700; ++i) longText += static_cast<char>('!' + i % 90);
  ASSERT_EQ(XML_SetAttributePass(doc.get(), root, u"LONG", longText.c_str()), 0);
  EXPECT_EQ(Unprotect(Attr(doc.get(), root, u"LONG")), longText);
  EXPECT_EQ(Attr(doc.get(), root, u"LONG").size(), static_cast<size_t>(4 * ((1400 + 2) / 3)));
  EXPECT_EQ(XML_SetAttributePass(doc.get(), root, u"X", nullptr), 1);
}

}  // namespace
