export * from "./TaskList";
