// Generators for the realistic benchmark sets. Names, local parts and hosts are drawn from small
// pools with numbers mixed in, so lengths vary the way they do in real mail.
#include "corpus.h"

#include <random>

namespace hdx_bench {

void FieldSet::add(const std::string& field) {
  starts.push_back(static_cast<std::uint32_t>(bytes.size()));
  bytes += field;
  if (field.size() > longest) longest = field.size();
}

namespace {

class Gen {
 public:
  explicit Gen(std::uint32_t seed) : rng_(seed) {}

  int pct() { return static_cast<int>(rng_() % 100); }
  unsigned num(unsigned below) { return static_cast<unsigned>(rng_() % below); }
  template <std::size_t N>
  const char* pick(const char* const (&pool)[N]) {
    return pool[num(N)];
  }

  std::string first() { return pick(kFirst); }
  std::string last() { return pick(kLast); }
  std::string local() {
    switch (num(4)) {
      case 0:
        return first();
      case 1:
        return first() + "." + last();
      case 2:
        return first() + std::to_string(num(1000));
      default:
        return std::string(pick(kRoles)) + "+" + std::to_string(num(100000));
    }
  }
  std::string domain() {
    return (num(3) == 0 ? std::string(pick(kSub)) + "." : "") + pick(kDomain);
  }
  std::string addr() { return local() + "@" + domain(); }
  std::string name() { return first() + " " + last(); }
  std::string ipv4() {
    return std::to_string(num(223) + 1) + "." + std::to_string(num(256)) + "." +
           std::to_string(num(256)) + "." + std::to_string(num(256));
  }
  std::string ipv6() {
    return "IPv6:2001:db8:" + std::to_string(num(9999)) + "::" + std::to_string(num(99));
  }
  std::string host() {
    return std::string(pick(kSub)) + std::to_string(num(50)) + "." + pick(kDomain);
  }
  std::string eol() { return pct() < 90 ? "\r\n" : "\n"; }
  std::string encoded() {
    return num(2) == 0 ? "=?utf-8?Q?" + first() + "_M=C3=BC" + last() + "?="
                       : "=?UTF-8?B?" + std::string(pick(kBase64)) + "?=";
  }

 private:
  static constexpr const char* kFirst[] = {"ann",     "bob",  "carla", "dmitri", "eve",   "farid",
                                           "gunilla", "hiro", "ines",  "jon",    "kwame", "lea"};
  static constexpr const char* kLast[] = {"smith", "okafor",  "lindqvist", "tanaka", "garcia",
                                          "novak", "oconnor", "weber",     "rossi",  "kim"};
  static constexpr const char* kRoles[] = {"bounce", "noreply", "news", "billing", "alerts"};
  static constexpr const char* kSub[] = {"mail", "mx", "smtp", "lists", "out", "relay"};
  static constexpr const char* kDomain[] = {"example.org", "example.com", "example.net",
                                            "mail-provider.example", "university.example.edu"};
  static constexpr const char* kBase64[] = {"SsO8cmdlbiBNw7xsbGVy", "5bGx55Sw5aSq6YOO",
                                            "0JjQstCw0L0g0J/QtdGC0YDQvtCy"};
  std::mt19937 rng_;
};

// From: Name <a@b> 30%, bare address 12%, encoded-word name 12%, quoted name with a comma 10%,
// a@b (Name) 8%, quoted name holding "@" 5%, folded name or comment 7%, <a@b> 3%, two mailboxes
// 2%, encoded words in odd places 11%. Line ends: 90% CR LF, 10% LF.
std::string from_field(Gen& g) {
  const int r = g.pct();
  const std::string a = g.addr();
  std::string v;
  if (r < 30)
    v = g.name() + " <" + a + ">";
  else if (r < 42)
    v = a;
  else if (r < 54)
    v = g.encoded() + " <" + a + ">";
  else if (r < 64)
    v = "\"" + g.last() + ", " + g.first() + "\" <" + a + ">";
  else if (r < 72)
    v = a + " (" + g.name() + ")";
  else if (r < 77)
    v = "\"" + a + "\" <" + g.addr() + ">";
  else if (r < 84)
    v = g.num(2) == 0 ? g.name() + g.eol() + " <" + a + ">" : a + g.eol() + "\t(" + g.name() + ")";
  else if (r < 87)
    v = "<" + a + ">";
  else if (r < 89)
    v = g.name() + " <" + a + ">, " + g.name() + " <" + g.addr() + ">";
  else
    v = g.num(2) == 0 ? g.encoded() + " " + g.encoded() + " <" + a + ">"
                      : "\"" + g.encoded() + "\" <" + a + ">";
  return "From: " + v + g.eol();
}

// Received, in the shapes common servers write: reverse DNS and [ip] with TLS comments over 3-5
// lines 35%, ([ip] helo=...) 15%, (unknown [ip]) 10%, an IPv6 literal 10%, a single long line
// 15%; no answer: by-only 8%, a bracketed name with (helo=...) 7%.
std::string received_field(Gen& g) {
  const int r = g.pct();
  const std::string e = g.eol();
  const std::string by = "by " + g.host() + " with ESMTPS id " + std::to_string(g.num(1u << 30));
  const std::string date = "; Fri, 04 Dec 2026 02:26:" + std::to_string(10 + g.num(50)) + " +0000";
  const std::string h = g.host();
  std::string v;
  if (r < 35) {
    v = "from " + h + " (" + h + " [" + g.ipv4() + "])" + e +
        "\t(using TLSv1.3 with cipher TLS_AES_256_GCM_SHA384 (256/256 bits)" + e +
        "\t key-exchange X25519 server-signature RSA-PSS (2048 bits))" + e + "\t" + by;
    if (g.num(2) == 0) v += e + "\tfor <" + g.addr() + ">";
    v += date;
  } else if (r < 50) {
    v = "from " + h + " ([" + g.ipv4() + "] helo=" + h + ")" + e + "\t" + by + date;
  } else if (r < 60) {
    v = "from " + h + " (unknown [" + g.ipv4() + "])" + e + "\t" + by + date;
  } else if (r < 70) {
    v = "from " + h + " (" + h + " [" + g.ipv6() + "])" + e + "\t" + by + date;
  } else if (r < 85) {
    v = "from " + h + " (" + h + " [" + g.ipv4() + "]) " + by + date;
  } else if (r < 93) {
    v = by + date;
  } else {
    v = "from [" + g.ipv4() + "] (helo=" + h + ")" + e + "\t" + by + date;
  }
  return "Received: " + v + e;
}

// SMTP commands without their line end: bracketed MAIL 25% and RCPT 20%, ESMTP parameters 15%,
// a space after the colon 8%, "<>" 8%, unbracketed 6%, lower-case verbs 8%, source routes 5%,
// quoted local parts 5%.
std::string smtp_command(Gen& g) {
  const int r = g.pct();
  const std::string a = g.addr();
  if (r < 25) return "MAIL FROM:<" + a + ">";
  if (r < 45) return "RCPT TO:<" + a + ">";
  if (r < 60)
    return "MAIL FROM:<" + a + "> SIZE=" + std::to_string(g.num(1u << 24)) + " BODY=8BITMIME";
  if (r < 68) return "MAIL FROM: <" + a + ">";
  if (r < 76) return "MAIL FROM:<> SIZE=" + std::to_string(g.num(1u << 16));
  if (r < 82) return "RCPT TO:" + a;
  if (r < 90) return "rcpt to:<" + a + ">";
  if (r < 95) return "RCPT TO:<@" + g.host() + ",@" + g.host() + ":" + a + ">";
  return "RCPT TO:<\"" + g.name() + "\"@" + g.domain() + "> NOTIFY=NEVER";
}

template <class Make>
FieldSet make_set(std::uint32_t seed, std::size_t n, Make make) {
  Gen g(seed);
  FieldSet set;
  for (std::size_t i = 0; i < n; ++i) set.add(make(g));
  return set;
}

// One message's header section: three Received fields, the usual address and routing fields,
// a folded Subject and a long, much-folded signature field.
std::string header_section(Gen& g) {
  std::string h;
  for (int i = 0; i < 3; ++i) h += received_field(g);
  const std::string e = g.eol();
  h += from_field(g);
  h += "To: " + g.name() + " <" + g.addr() + ">" + e;
  h += "Subject: Re: the quarterly figures for " + g.last() + e + "\tand the plans for next year" +
       e;
  h += "Date: Fri, 04 Dec 2026 02:26:18 +0000" + e;
  h += "Message-ID: <" + std::to_string(g.num(1u << 30)) + "." + g.host() + ">" + e;
  h += "DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=" + g.domain() + ";" + e +
       "\ts=selector1; h=from:to:subject:date:message-id;" + e +
       "\tbh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=;" + e +
       "\tb=dzdVyOfAKCdLXdJOc9G2q8LoXSlEniSbav+yuU4zGeeruD00lszZVoG4ZHRNiYzR" + e;
  h += "MIME-Version: 1.0" + e + "Content-Type: text/plain; charset=utf-8" + e;
  return h;
}

}  // namespace

FieldSet from_fields(std::size_t n) { return make_set(1, n, from_field); }
FieldSet received_fields(std::size_t n) { return make_set(2, n, received_field); }
FieldSet smtp_commands(std::size_t n) { return make_set(3, n, smtp_command); }

std::string header_block(std::size_t size) {
  Gen g(4);
  std::string block;
  while (block.size() < size) block += header_section(g);
  block.resize(size);
  return block;
}

std::vector<std::string> header_sections(std::size_t n) {
  Gen g(4);
  std::vector<std::string> sections;
  while (sections.size() < n) sections.push_back(header_section(g));
  return sections;
}

std::string length_kind(std::string_view field) { return field.size() <= 64 ? "short" : "long"; }

std::string from_kind(std::string_view field) {
  std::string_view content = field;
  while (!content.empty() && (content.back() == '\n' || content.back() == '\r')) {
    content.remove_suffix(1);
  }
  std::string kind;
  if (content.find('\n') != std::string_view::npos) kind += "folded_";
  if (content.find('(') != std::string_view::npos) kind += "comment_";
  if (content.find("=?") != std::string_view::npos) kind += "encoded_";
  if (kind.empty()) {
    kind = content.find_first_of("\\=") == std::string_view::npos ? "plain_" : "other_";
  }
  return kind + length_kind(field);
}

}  // namespace hdx_bench
