"""Questions for the retrieval evaluation, with what a good developer would
open first.

Each entry: (question, files, symbols).  A file hit is any of `files`
among the top k; `symbols` are node names ("func", "Class.method") of the
functions worth reading first.  Projects:

- "stdlib310": CPython 3.10's standard library without its top-level
  `test` package (the file list is pinned in eval_stdlib310.txt; the
  package-level test folders such as unittest/test stay, so test files
  compete with the code they test);
- "bookshelf": the sample project in examples/;
- "httpx", "starlette": ordinary third-party projects (pinned source
  distributions, tests included, see THIRD_PARTY); their questions were
  written from reading the code, before any ranking was looked at.
"""

STDLIB = [
    ("how does json encode floats like NaN and infinity", ["json/encoder.py"], ["_make_iterencode", "JSONEncoder.iterencode"]),
    ("where is the status line of an HTTP response parsed", ["http/client.py"], ["HTTPResponse._read_status"]),
    ("how does zipfile stop members from being extracted outside the target folder", ["zipfile.py"], ["ZipFile._extract_member"]),
    ("how are long email headers folded", ["email/_header_value_parser.py", "email/policy.py", "email/_policybase.py"], ["_refold_parse_tree", "EmailPolicy._fold", "EmailPolicy.fold"]),
    ("argparse mutually exclusive groups conflict check", ["argparse.py"], ["_MutuallyExclusiveGroup", "ArgumentParser._parse_known_args"]),
    ("which tar members does the data filter refuse", ["tarfile.py"], ["data_filter", "_get_filtered_attrs"]),
    ("when does the rotating log file handler roll over", ["logging/handlers.py"], ["RotatingFileHandler.shouldRollover", "RotatingFileHandler.doRollover"]),
    ("schedule a callback after a delay in the event loop", ["asyncio/base_events.py", "asyncio/events.py"], ["BaseEventLoop.call_later", "BaseEventLoop.call_at"]),
    ("kill the child process when communicate times out", ["subprocess.py"], ["Popen.communicate", "run"]),
    ("copy a whole directory tree with symlinks", ["shutil.py"], ["copytree", "_copytree"]),
    ("parse a URL query string into a dict", ["urllib/parse.py"], ["parse_qs", "parse_qsl"]),
    ("how does a path resolve symbolic links", ["pathlib.py", "posixpath.py"], ["Path.resolve", "_PosixFlavour.resolve", "realpath"]),
    ("csv sniffer guessing the delimiter", ["csv.py"], ["Sniffer._guess_delimiter", "Sniffer.sniff"]),
    ("how does lru_cache store and evict results", ["functools.py"], ["_lru_cache_wrapper", "lru_cache"]),
    ("how does a dataclass generate its __init__", ["dataclasses.py"], ["_init_fn", "_process_class"]),
    ("wrap long lines of text to a width", ["textwrap.py"], ["TextWrapper._wrap_chunks", "TextWrapper.wrap", "wrap"]),
    ("base64 decoding that rejects invalid characters", ["base64.py"], ["b64decode"]),
    ("parse an ISO 8601 date string into a datetime", ["datetime.py"], ["datetime.fromisoformat", "_parse_isoformat_date"]),
    ("where does the http server send response headers", ["http/server.py"], ["BaseHTTPRequestHandler.send_response", "BaseHTTPRequestHandler.send_header", "BaseHTTPRequestHandler.end_headers"]),
    ("dump an sqlite database as SQL statements", ["sqlite3/dump.py"], ["_iterdump"]),
    ("how does unittest discover test modules in a folder", ["unittest/loader.py"], ["TestLoader.discover", "TestLoader._find_tests"]),
    ("mock.patch replacing an attribute for the duration of a test", ["unittest/mock.py"], ["_patch", "_patch.__enter__", "patch"]),
    ("how does pickle save an object with __reduce__", ["pickle.py"], ["_Pickler.save_reduce", "_Pickler.save"]),
    ("configparser interpolation of values that reference other options", ["configparser.py"], ["BasicInterpolation.before_get", "BasicInterpolation._interpolate_some", "ExtendedInterpolation.before_get"]),
    ("decimal quantize with a rounding mode", ["_pydecimal.py", "decimal.py"], ["Decimal.quantize", "Decimal._rescale"]),
    ("detect the encoding declared in a python source file", ["tokenize.py"], ["detect_encoding"]),
    ("safely evaluate a literal from a string", ["ast.py"], ["literal_eval"]),
    ("SMTP login authentication methods", ["smtplib.py"], ["SMTP.login", "SMTP.auth"]),
    ("reading the gzip member header", ["gzip.py"], ["_GzipReader._read_gzip_header", "_read_gzip_header"]),
    ("create a temporary file securely", ["tempfile.py"], ["mkstemp", "_mkstemp_inner", "NamedTemporaryFile"]),
    ("push an item on a heap keeping the heap invariant", ["heapq.py"], ["heappush", "_siftdown"]),
    ("validate an IPv4 address string", ["ipaddress.py"], ["_BaseV4._ip_int_from_string", "_BaseV4._parse_octet", "IPv4Address.__init__"]),
    ("how does a process pool split work into chunks", ["multiprocessing/pool.py"], ["Pool._map_async", "Pool.map", "Pool._get_tasks"]),
    ("submit a callable to a thread pool executor", ["concurrent/futures/thread.py"], ["ThreadPoolExecutor.submit"]),
    ("how does importlib find a module spec on sys.path", ["importlib/_bootstrap_external.py"], ["PathFinder.find_spec", "FileFinder.find_spec"]),
    ("template strings with $ placeholders substitution", ["string.py"], ["Template.substitute", "Template.safe_substitute"]),
    ("pretty print nested dictionaries", ["pprint.py"], ["PrettyPrinter._pprint_dict", "pprint"]),
    ("produce a unified diff of two lists of lines", ["difflib.py"], ["unified_diff"]),
    ("shuffle a list in place randomly", ["random.py"], ["Random.shuffle"]),
    ("median of a data set", ["statistics.py"], ["median"]),
    ("translate a shell wildcard pattern to a regular expression", ["fnmatch.py"], ["translate"]),
    ("recursive glob with ** patterns", ["glob.py"], ["_glob2", "_rlistdir", "glob"]),
    ("handle each request in a new thread in socketserver", ["socketserver.py"], ["ThreadingMixIn.process_request", "ThreadingMixIn.process_request_thread"]),
    ("what does _make_iterencode do", ["json/encoder.py"], ["_make_iterencode"]),
    ("HTTPConnection sending a chunked request body", ["http/client.py"], ["HTTPConnection._send_output", "HTTPConnection.request"]),
    ("tests for mock.patch", ["unittest/test/testmock/testpatch.py"], []),
    ("sqlite3 transaction tests", ["sqlite3/test/transactions.py"], []),
    ("fix the failing test of CSV dialect sniffing", ["csv.py"], ["Sniffer.sniff"]),
]

BOOKSHELF = [
    ("how are overdue loans detected", ["bookshelf/loans.py"], ["is_overdue", "find_overdue_loans"]),
    ("where is the library saved to disk as json", ["bookshelf/storage.py"], ["Store.save"]),
    ("send the reminder email", ["bookshelf/notifications.py"], []),
    ("which http routes does the api serve", ["bookshelf/api.py"], []),
    ("how is the fine for a late book computed", ["bookshelf/loans.py"], ["compute_fine"]),
]

# Pinned source distributions: (project, requirement, sha256 of the sdist).
THIRD_PARTY = [
    ("httpx", "httpx==0.27.0", "a0cb88a46f32dc874e04ee956e4c2764aba2aa228f650b06788ba6bda2962ab5"),
    ("starlette", "starlette==0.37.2", "9af890290133b79fc3db55474ade20f6220a364a0402e0b556e7cd5e1e093823"),
]

HTTPX = [
    ("Authorization header is sent to another host after a redirect", ["httpx/_client.py"], ["BaseClient._redirect_headers"]),
    ("why does a POST become a GET after a 302 redirect", ["httpx/_client.py"], ["BaseClient._redirect_method"]),
    ("how is the text encoding of a response chosen when the content type has no charset", ["httpx/_models.py"], ["Response.encoding", "Response.charset_encoding"]),
    ("add support for zstd content encoding", ["httpx/_decoders.py"], ["GZipDecoder", "BrotliDecoder", "Response._get_content_decoder"]),
    ("NO_PROXY environment variable with an IP address is ignored", ["httpx/_utils.py"], ["get_environment_proxies"]),
    ("digest authentication challenge parsing", ["httpx/_auth.py"], ["DigestAuth._parse_challenge", "DigestAuth.auth_flow"]),
    ("raise_for_status error message for client and server errors", ["httpx/_models.py"], ["Response.raise_for_status"]),
    ("set separate connect, read, write and pool timeouts", ["httpx/_config.py"], ["Timeout.__init__", "Timeout"]),
    ("content length of a multipart file upload", ["httpx/_multipart.py"], ["MultipartStream.get_content_length", "FileField.get_length"]),
    ("translate httpcore exceptions into httpx exceptions", ["httpx/_transports/default.py"], ["map_httpcore_exceptions"]),
    ("which transport does the client use for a URL when mounts are configured", ["httpx/_client.py"], ["Client._transport_for_url", "AsyncClient._transport_for_url"]),
    ("percent-encoding of unsafe characters in the URL path", ["httpx/_urlparse.py"], ["quote", "percent_encoded", "urlparse"]),
    ("split a streamed response body into lines", ["httpx/_models.py", "httpx/_decoders.py"], ["Response.iter_lines", "LineDecoder.decode"]),
    ("load the CA bundle when verify is true", ["httpx/_config.py"], ["SSLConfig.load_ssl_context_verify"]),
    ("command line client printing the response headers", ["httpx/_main.py"], ["print_response_headers", "format_response_headers"]),
    ("tests for digest auth", ["tests/client/test_auth.py", "tests/test_auth.py"], []),
]

STARLETTE = [
    ("static files served from outside the directory with ../ in the path", ["starlette/staticfiles.py"], ["StaticFiles.lookup_path"]),
    ("how are path parameters like {id:int} compiled into a regex", ["starlette/routing.py"], ["compile_path"]),
    ("add a custom path convertor type", ["starlette/convertors.py"], ["register_url_convertor", "Convertor"]),
    ("session cookie is not cleared when the session is emptied", ["starlette/middleware/sessions.py"], ["SessionMiddleware.__call__"]),
    ("CORS preflight request rejected for a disallowed header", ["starlette/middleware/cors.py"], ["CORSMiddleware.preflight_response"]),
    ("limit the number of files in a multipart form upload", ["starlette/formparsers.py"], ["MultiPartParser.on_headers_finished", "MultiPartParser.__init__", "MultiPartParser.parse"]),
    ("Set-Cookie with samesite and secure flags on a response", ["starlette/responses.py"], ["Response.set_cookie"]),
    ("ETag and If-None-Match handling for static files returning 304", ["starlette/staticfiles.py"], ["StaticFiles.is_not_modified", "NotModifiedResponse"]),
    ("read settings from a .env file with type casting", ["starlette/config.py"], ["Config._read_file", "Config._perform_cast", "Config.get"]),
    ("debug traceback page shown when the app raises an exception", ["starlette/middleware/errors.py"], ["ServerErrorMiddleware.debug_response", "ServerErrorMiddleware.generate_html"]),
    ("only compress responses above a minimum size with gzip", ["starlette/middleware/gzip.py"], ["GZipResponder.send_with_gzip"]),
    ("run a task after the response has been sent", ["starlette/background.py"], ["BackgroundTask.__call__", "BackgroundTasks.add_task"]),
    ("startup and shutdown lifespan events of the router", ["starlette/routing.py"], ["Router.lifespan", "Router.startup", "Router.shutdown"]),
    ("reject requests whose Host header is not allowed", ["starlette/middleware/trustedhost.py"], ["TrustedHostMiddleware.__call__"]),
    ("parse the Cookie request header into a dict", ["starlette/requests.py"], ["cookie_parser", "HTTPConnection.cookies"]),
    ("tests for CORS middleware", ["tests/middleware/test_cors.py"], []),
]
