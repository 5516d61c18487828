// tokens: IDENTIFIER = CONSTANT_STRING ; IDENTIFIER = CONSTANT_CHAR ;
// tokens: IDENTIFIER = CONSTANT_STRING ;
// last line: 7
s = "two
lines";
c = L'\n';
t = "tab\t and quote \" inside";
