// Kept in version control on purpose: the service schema.
export type TaskId = string;
