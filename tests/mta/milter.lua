-- hdx-milter against miltertest, an MTA side written apart from Postfix's and Sendmail's: the
-- negotiation, several messages on one connection, an abort in the middle of one, forged fields
-- deleted and the field added. Run as: miltertest -s milter.lua -D filter=PATH -D socket=unix:PATH

-- Each step must succeed; the filter answers nothing that would stop a message. miltertest
-- exits 1 on an error without saying which, so each failure is printed first.
local function expect(what, ok)
  if not ok then
    mt.echo("FAIL " .. what)
    error(what)
  end
end
local function step(what, err)
  expect(what .. ": " .. tostring(err), err == nil)
end

mt.startfilter(filter, "--foreground", "-p", socket)
local conn = mt.connect(socket, 50, 0.1)
expect("no connection to the filter", conn ~= nil)
step("negotiate", mt.negotiate(conn, nil, nil, nil))
step("conninfo", mt.conninfo(conn, "client.example", "192.0.2.7"))

-- message FROM FIELDS...: one message from FROM to bob@example.net with the given fields (pairs
-- of name and value), to its end; the value of the field the filter added.
local function message(from, ...)
  local fields = {...}
  step("mailfrom", mt.mailfrom(conn, "<" .. from .. ">", "SIZE=100"))
  step("rcptto", mt.rcptto(conn, "<bob@example.net>"))
  step("data", mt.data(conn))
  for i = 1, #fields, 2 do step("header", mt.header(conn, fields[i], fields[i + 1])) end
  step("eom", mt.eom(conn))
  expect("continue at the end", mt.getreply(conn) == SMFIR_CONTINUE)
  return mt.getheader(conn, "X-HDX-Identity", 0)
end

local first = message("ann@example.org", "From", "Ann <ann@example.org>",
                      "X-HDX-Identity", "peer=203.0.113.1; forged", "Subject", "one")
expect("first message: " .. tostring(first), first ==
       " peer=192.0.2.7; envelope-from=ann@example.org;\n" ..
       "\trcpt=bob@example.net; from=ann@example.org; return-path=; received-ip=")
expect("forged field deleted", mt.eom_check(conn, MT_HDRDELETE, "X-HDX-Identity"))

local second = message("carl@example.com", "Received", "from mx (mx [192.0.2.25]) by y",
                       "From", "<carl@example.com>")
expect("second message: " .. tostring(second), second ==
       " peer=192.0.2.7; envelope-from=carl@example.com;\n" ..
       "\trcpt=bob@example.net; from=carl@example.com; return-path=;\n\treceived-ip=192.0.2.25")
expect("nothing to delete", not mt.eom_check(conn, MT_HDRDELETE))

-- An abort in the middle of a message: the next one is read afresh.
step("mailfrom", mt.mailfrom(conn, "<eve@example.org>"))
step("header", mt.header(conn, "From", "<eve@example.org>"))
step("abort", mt.abort(conn))
local after = message("dora@example.org", "Subject", "after an abort")
expect("after an abort: " .. tostring(after), after ==
       " peer=192.0.2.7; envelope-from=dora@example.org;\n" ..
       "\trcpt=bob@example.net; from=; return-path=; received-ip=")
mt.disconnect(conn)
