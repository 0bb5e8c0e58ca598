"""Search over a project's code: tokenising (`tokens`), the documents of
files and symbols (`documents`), their postings (`corpus`, built by
`build`), the search index file (`store`, with the graph's compact copy
from `compact` and each file's part of it from `parts`) and ranking
(`rank`)."""
