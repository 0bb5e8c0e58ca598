"""Search over a project's code: tokenising (`tokens`), the documents of
files and symbols (`documents`), their postings (`corpus`, built by
`build`), the search index file (`store`) and ranking (`rank`)."""
